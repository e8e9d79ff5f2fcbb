// Construction, start-up and configuration of the main window.
#include "dispatcher/form1.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <new>

#include "platform/ini_file.h"
#include "platform/program_folder.h"

namespace varnok {

std::string TDMI_DataModuleCreate(const std::string& programFolder) {
  try {
    return applicationTitle(programFolder);
  } catch (...) {
    return "Varnok";
  }
}

TForm1::TForm1(EventLoop& loop, std::string programFolder)
    : Server1(loop),
      Client1(loop),
      Client2(loop),
      Client3(loop),
      Client4(loop),
      TimerA(loop),
      Timer1(loop),
      Timer2(loop),
      Timer3(loop),
      Timer4(loop),
      Timer11(loop),
      Timer22(loop),
      Timer33(loop),
      Timer44(loop),
      TimerQ(loop),
      TimerB(loop),
      loop_(loop) {
  config_.ProgramFolder = std::move(programFolder);
  slots_ = {{
      {&Client1, &Timer1, &Timer11, "1", "M", "N", "R"},
      {&Client2, &Timer2, &Timer22, "2", "O", "P", "S"},
      {&Client3, &Timer3, &Timer33, "3", "Y", "a", "W"},
      {&Client4, &Timer4, &Timer44, "4", "Z", "b", "X"},
  }};

  // The components as stored with the window: the server on port 23 and not
  // listening, the clients with the retry interval -1, the slot timers off.
  Server1.SetPort(23);
  Server1.OnClientConnected = [this](auto* s, auto* c) { Server1ClientConnected(s, c); };
  Server1.OnClientDisconnected = [this](auto* s, auto* c) { Server1ClientDisconnected(s, c); };
  Server1.OnClientRead = [this](auto* s, auto* c, auto& st) { Server1ClientRead(s, c, st); };
  Server1.OnError = [this](auto* s, int sock, int code, const std::string& msg) {
    Client1Error(s, sock, code, msg);
  };
  Client1.OnConnected = [this](auto* s) { Client1Connected(s); };
  Client2.OnConnected = [this](auto* s) { Client2Connected(s); };
  Client3.OnConnected = [this](auto* s) { Client3Connected(s); };
  Client4.OnConnected = [this](auto* s) { Client4Connected(s); };
  Client1.OnDisconnected = [this](auto* s) { Client1Disconnected(s); };
  Client2.OnDisconnected = [this](auto* s) { Client2Disconnected(s); };
  Client3.OnDisconnected = [this](auto* s) { Client3Disconnected(s); };
  Client4.OnDisconnected = [this](auto* s) { Client4Disconnected(s); };
  for (int k = 0; k < kMaxSlots; ++k) {
    slots_[k].client->OnWritten = [this, k](auto*) { SlotWritten(k); };
  }
  for (auto& slot : slots_) {
    slot.client->SetAutoReconnectInterval(-1);
    slot.client->OnError = [this](auto* s, int sock, int code, const std::string& msg) {
      Client1Error(s, sock, code, msg);
    };
  }

  const int shortIntervals[kMaxSlots] = {1000, 1500, 2000, 2500};
  const int longIntervals[kMaxSlots] = {5000, 5500, 6000, 6500};
  void (TForm1::*timerHandlers[kMaxSlots])() = {&TForm1::Timer11Timer, &TForm1::Timer22Timer,
                                                &TForm1::Timer33Timer, &TForm1::Timer44Timer};
  for (int k = 0; k < kMaxSlots; ++k) {
    auto handler = timerHandlers[k];
    slots_[k].shortTimer->setInterval(shortIntervals[k]);
    slots_[k].longTimer->setInterval(longIntervals[k]);
    slots_[k].shortTimer->setOnTimer([this, handler] { (this->*handler)(); });
    slots_[k].longTimer->setOnTimer([this, handler] { (this->*handler)(); });
  }

  TimerA.setInterval(45);
  TimerA.setOnTimer([this] { TimerATimer(); });
  TimerA.setEnabled(true);
  TimerQ.setInterval(9700);
  TimerQ.setOnTimer([this] { TimerQTimer(); });
  TimerB.setInterval(10000);
  TimerB.setOnTimer([this] { TimerBTimer(); });
  TimerB.setEnabled(true);
}

TForm1::~TForm1() {
  // The components go quietly: no handler of this half-destroyed window may run.
  Server1.OnClientDisconnected = nullptr;
  Server1.OnError = nullptr;
  for (auto& slot : slots_) {
    slot.client->OnDisconnected = nullptr;
    slot.client->OnError = nullptr;
    slot.client->OnWritten = nullptr;
  }
}

void TForm1::FormCreate() {
  StartDebugTrail();
  loop_.app().setOnException([this](const std::exception& e) { AppException(e); });

  Memo2.addLine("Varnok - RDS command dispatcher");
  ScrLog("RDS dispatcher Varnok v. 1.0b starting up...");
  VipList.clear();
  BanList.clear();

  const IniFile ini(config_.ProgramFolder + "varnok.ini");
  std::int32_t encoderCount = ini.readInteger("General", "EncoderCount", 0);
  if (encoderCount < 0) encoderCount = 0;
  std::int32_t threads = ini.readInteger("General", "Threads", 2);
  if (threads < 1 || threads > kMaxSlots) threads = kMaxSlots;
  config_.Threads = threads;
  TimerA.setInterval(90 / threads);
  config_.ListenOnPort =
      static_cast<std::uint16_t>(ini.readInteger("Inputs", "ListenOnPort", 23) & 0xFFFF);
  config_.Repeat = ini.readInteger("General", "Repeat", 0);
  if (config_.Repeat > 10) config_.Repeat = 10;
  // Kept in seconds. A product beyond 32 bits saturates: wrapping could turn a
  // "practically never" into a few seconds.
  const std::int64_t maxSeconds =
      std::int64_t{ini.readInteger("General", "MaxMinutesInQueue", 10)} * 60;
  config_.MaxSecondsInQueue =
      static_cast<std::int32_t>(std::clamp<std::int64_t>(maxSeconds, INT32_MIN, INT32_MAX));
  config_.ErrorLimit = ini.readInteger("General", "ErrorLimit", 3);
  config_.SuspendForMinutes = ini.readInteger("General", "SuspendForMinutes", 5);
  TimerQ.setEnabled(config_.MaxSecondsInQueue > 4);
  config_.Socket = ini.readBool("Inputs", "Socket", true);
  config_.File = ini.readBool("Inputs", "File", true);
  config_.CmdLine = ini.readBool("Inputs", "CmdLine", true);
  config_.ProducerBacklogBytes =
      std::int64_t{ini.readInteger("Inputs", "ProducerBacklogKB", 16384)} * 1024;
  // Outside 1..65535 (0 by default) the status window stays closed.
  const std::int32_t httpPort = ini.readInteger("Status", "HttpPort", 0);
  config_.HttpPort = httpPort >= 1 && httpPort <= 65535 ? static_cast<std::uint16_t>(httpPort) : 0;
  config_.HttpAddress = ini.readString("Status", "HttpAddress", "127.0.0.1");
  if (config_.HttpAddress.empty()) config_.HttpAddress = "127.0.0.1";

  Odesilace.assign(static_cast<std::size_t>(threads), TOdesilace{});
  // The encoder table, the queues and the table's rows are sized together:
  // when memory runs out on the way, start-up goes on with no encoders
  // rather than with tables of different lengths.
  try {
    BuildEncoderTables(ini, encoderCount);
  } catch (const std::bad_alloc& e) {
    Kodery = {};
    Fronty = {};
    std::string text = "Application Error - ";
    text.append(e.what()).append(" (Debug: ").append(trail_).append(")");
    ScrLog(text);
    BuildEncoderTables(ini, 0);
  }

  LoadFile("vip");
  LoadFile("ban");
  ScrLog("Configuration file loaded");

  if (config_.Socket) {
    Server1.SetPort(config_.ListenOnPort);
    // A failure is logged by the error handler, whose silent abort ends the
    // start-up here: no "Listening" line and no exit mark.
    Server1.SetListen(true);
    ScrLog("Listening on port " + std::to_string(Server1.Port()));
  }
  AddDebugStep(",");
}

void TForm1::BuildEncoderTables(const IniFile& ini, std::int32_t encoderCount) {
  std::vector<TKodery> kodery(static_cast<std::size_t>(encoderCount));
  std::vector<std::deque<TFronta>> fronty(kodery.size());
  for (std::int32_t n = 1; n <= encoderCount; ++n) {
    const std::string section = "Encoder" + std::to_string(n);
    TKodery& k = kodery[static_cast<std::size_t>(n - 1)];
    k.Name = ini.readString(section, "Name", "RDS Encoder " + std::to_string(n));
    k.Host = ini.readString(section, "Host", "127.0.0.1");
    k.Port = ini.readInteger(section, "Port", 23);
    k.Enabled = ini.readBool(section, "Enabled", true);
  }
  SG1.setRowCount(static_cast<int>(kodery.size()) + 1);
  Kodery = std::move(kodery);
  Fronty = std::move(fronty);

  static const char* const headers[StatusTable::kColumns] = {
      "RDS Encoder Name", "Host", "Port", "Queue", "Thread", "Errors", "Enabled"};
  for (int c = 0; c < StatusTable::kColumns; ++c) SG1.setCell(c, 0, headers[c]);
  for (std::size_t i = 0; i < Kodery.size(); ++i) {
    TKodery& k = Kodery[i];
    const int row = static_cast<int>(i) + 1;
    // Never deliver to our own listening port (see DeliversToOurselves).
    if (DeliversToOurselves(k)) k.Enabled = false;
    k.Active = k.Enabled;
    k.Errors = 0;
    k.ErrorsInRow = 0;
    SG1.setCell(kColName, row, k.Name);
    SG1.setCell(kColQueue, row, "0");
    SG1.setCell(kColHost, row, k.Host);
    SG1.setCell(kColPort, row, std::to_string(k.Port));
    SG1.setCell(kColEnabled, row, k.Active ? "Yes" : "No");
  }
}

// We listen on every address of the machine, so any loopback address with
// the port that is dialled (its low 16 bits) would bring every command
// straight back to us, for ever.
bool TForm1::DeliversToOurselves(const TKodery& k) const {
  if ((k.Port & 0xFFFF) != config_.ListenOnPort) return false;
  if (upperAscii(k.Host) == "LOCALHOST") return true;
  in_addr address{};
  if (inet_pton(AF_INET, k.Host.c_str(), &address) != 1) return false;
  return (ntohl(address.s_addr) >> 24) == 127;
}

}  // namespace varnok
