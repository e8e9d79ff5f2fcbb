// Construction, start-up, closing and the operator's window actions.
#include "dispatcher/dispatcher.h"

#include <arpa/inet.h>

#include <new>

#include "net/local_addresses.h"
#include "platform/application.h"
#include "platform/ini_file.h"
#include "platform/program_folder.h"

namespace varnok {

std::string applicationTitleFor(const std::string& programFolder) {
  try {
    return applicationTitle(programFolder);
  } catch (...) {
    return "Varnok";
  }
}

Dispatcher::Dispatcher(EventLoop& loop, std::string programFolder)
    : loop_(loop),
      listener_(loop),
      slots_{{SenderSlot(loop, 0), SenderSlot(loop, 1), SenderSlot(loop, 2), SenderSlot(loop, 3)}},
      dispatchTimer_(loop),
      expiryTimer_(loop),
      resumeTimer_(loop) {
  config_.programFolder = std::move(programFolder);

  // Port 23 and not listening until start-up says otherwise.
  listener_.setPort(23);
  listener_.onClientConnected = [this](net::AcceptedConnection& c) { producerConnected(c); };
  listener_.onClientDisconnected = [this](net::AcceptedConnection& c) { producerDisconnected(c); };
  listener_.onClientRead = [this](net::AcceptedConnection& c, std::string_view bytes) {
    producerData(c, bytes);
  };
  listener_.onError = [this](int code, const std::string& text) {
    socketError(nullptr, code, text);
  };

  for (SenderSlot& slot : slots_) {
    net::TcpClient& client = slot.client();
    client.mayConnect = [this, &slot](const sockaddr_in& target) { return mayDial(slot, target); };
    client.onConnected = [this, &slot] { slotConnected(slot); };
    client.onDisconnected = [this, &slot] { slotDisconnected(slot); };
    client.onWritten = [this, &slot] { slotWritten(slot); };
    client.onError = [this, &slot](int code, const std::string& text) {
      socketError(&slot, code, text);
    };
    slot.idleTimer().setOnTimer([this, &slot] { slotTimer(slot); });
    slot.stayTimer().setOnTimer([this, &slot] { slotTimer(slot); });
  }

  dispatchTimer_.setInterval(45);
  dispatchTimer_.setOnTimer([this] { dispatchTick(); });
  dispatchTimer_.setEnabled(true);
  expiryTimer_.setInterval(9700);
  expiryTimer_.setOnTimer([this] { expiryTick(); });
  resumeTimer_.setInterval(10000);
  resumeTimer_.setOnTimer([this] { resumeTick(); });
  resumeTimer_.setEnabled(true);
}

Dispatcher::~Dispatcher() {
  // Nothing may report into a dispatcher that is going away: the hook
  // first, then the components' handlers.
  loop_.app().setOnException(nullptr);
  listener_.onClientDisconnected = nullptr;
  listener_.onError = nullptr;
  for (SenderSlot& slot : slots_) {
    slot.client().onDisconnected = nullptr;
    slot.client().onError = nullptr;
    slot.client().onWritten = nullptr;
  }
}

std::span<const SenderSlot> Dispatcher::senderSlots() const {
  return {slots_.data(), static_cast<std::size_t>(slotCount_)};
}

void Dispatcher::start() {
  trail_.start();
  loop_.app().setOnException([this](const std::exception& e) { applicationError(e); });

  logView_.addLine("Varnok - RDS command dispatcher");
  log("RDS dispatcher Varnok v. 1.0b starting up...");
  vipList_.clear();
  banList_.clear();

  const IniFile ini(config_.programFolder + "varnok.ini");
  config_ = readDispatcherConfig(ini, config_.programFolder);
  dispatchTimer_.setInterval(90 / config_.threads);
  expiryTimer_.setEnabled(config_.maxSecondsInQueue > 4);

  slotCount_ = config_.threads;
  for (SenderSlot& slot : slots_) slot.release();
  // The encoder table, the queues and the table's rows are sized together:
  // when memory runs out on the way, start-up goes on with no encoders
  // rather than with tables of different lengths.
  try {
    buildEncoderTables(ini, config_.encoderCount);
  } catch (const std::bad_alloc& e) {
    logApplicationError(e.what());
    buildEncoderTables(ini, 0);
  }

  loadList("vip");
  loadList("ban");
  log("Configuration file loaded");

  if (config_.socketInput) {
    listener_.setPort(config_.listenOnPort);
    // A failure is logged by the error handler, whose silent abort ends the
    // start-up here: no "Listening" line and no closing mark.
    listener_.setListening(true);
    log("Listening on port " + std::to_string(listener_.port()));
  }
  mark(Mark::End);
}

void Dispatcher::buildEncoderTables(const IniFile& ini, std::int32_t encoderCount) {
  std::vector<Encoder> encoders = readEncoders(ini, encoderCount);
  CommandQueues queues(encoders.size(), config_.producerBacklogBytes, config_.backlogTotalBytes,
                       {[this] { holdProducers(); }, [this] { readProducersAgain(); }});
  table_.setRowCount(static_cast<int>(encoders.size()) + 1);
  encoders_ = std::move(encoders);
  queues_ = std::move(queues);

  static const char* const headers[StatusTable::kColumns] = {
      "RDS Encoder Name", "Host", "Port", "Queue", "Thread", "Errors", "Enabled"};
  for (int c = 0; c < StatusTable::kColumns; ++c) table_.setCell(c, 0, headers[c]);
  for (std::size_t i = 0; i < encoders_.size(); ++i) {
    Encoder& e = encoders_[i];
    const int row = static_cast<int>(i) + 1;
    // Never deliver to our own listening port (see deliversToOurselves).
    if (e.enabled && deliversToOurselves(e)) {
      switchOffSelfDelivery(static_cast<int>(i), static_cast<std::uint16_t>(e.port & 0xFFFF));
    }
    e.active = e.enabled;
    table_.setCell(kColName, row, e.name);
    table_.setCell(kColQueue, row, "0");
    table_.setCell(kColHost, row, e.host);
    table_.setCell(kColPort, row, std::to_string(e.port));
    table_.setCell(kColEnabled, row, e.active ? "Yes" : "No");
  }
}

// We listen on every address of the machine, so any address of it with the
// port that is dialled (its low 16 bits) would bring every command straight
// back to us, for ever. The host is read as the client will read it, in
// every form inet_aton takes (127.1, 2130706433, 0x7f.1 are all 127.0.0.1);
// other names are looked up only when dialled, and mayDial checks what they
// give.
bool Dispatcher::deliversToOurselves(const Encoder& e) const {
  if ((e.port & 0xFFFF) != config_.listenOnPort) return false;
  if (upperAscii(e.host) == "LOCALHOST") return true;
  in_addr address{};
  if (inet_aton(e.host.c_str(), &address) == 0) return false;
  return net::isThisMachine(address.s_addr);
}

// The last word before every connect(), on the address actually dialled,
// however the host was written and whatever a name resolved to; only while
// we listen, as nothing else would take the commands back in. The slot lets
// go of the encoder first, so the refused attempt ends as a plain
// disconnection and counts no error.
bool Dispatcher::mayDial(SenderSlot& slot, const sockaddr_in& target) {
  const std::uint16_t port = ntohs(target.sin_port);
  if (!listener_.listening() || port != listener_.port()) return true;
  if (!net::isThisMachine(target.sin_addr.s_addr)) return true;
  const int encoder = slot.idle() ? slot.dialledEncoder() : slot.encoder();
  slot.release();
  if (encoder >= 0 && static_cast<std::size_t>(encoder) < encoders_.size()) {
    switchOffSelfDelivery(encoder, port);
  }
  return false;
}

// Logged only when it switches the encoder off, so once per encoder: it is
// never dialled again. Its queue is left to expire.
void Dispatcher::switchOffSelfDelivery(int encoder, std::uint16_t port) {
  Encoder& e = encoders_[static_cast<std::size_t>(encoder)];
  const bool wasOn = e.enabled;
  e.enabled = false;
  e.active = false;
  table_.setCell(kColEnabled, encoder + 1, "No");
  if (wasOn) {
    log("Encoder " + e.name + " switched off - " + e.host + ":" + std::to_string(port) +
        " is Varnok's own listening port");
  }
}

void Dispatcher::close() {
  mark(Mark::Close);
  listener_.setListening(false);
  for (SenderSlot& slot : slots_) slot.close();
  mark(Mark::End);
}

void Dispatcher::systemMenuCommand(int command) {
  mark(Mark::SystemMenu);
  if (command == kInfoCommand && window_) {
    window_->openDocument(config_.programFolder + "varnok.txt");
  }
  mark(Mark::End);
}

void Dispatcher::toggleWindow() {
  mark(Mark::ToggleWindow);
  if (window_) {
    if (window_->isShown()) {
      window_->hideWindow();
    } else {
      window_->showWindow();
    }
  }
  mark(Mark::End);
}

void Dispatcher::exit() {
  mark(Mark::Exit);
  if (window_) window_->closeWindow();
}

void Dispatcher::log(std::string_view text) {
  mark(Mark::Log);
  while (logView_.lineCount() > kLogLinesBeforeAdd) logView_.deleteFirstDisplayedLine();
  std::string line = "<";
  line.append(formatDateTime(now())).append("> ").append(text);
  logView_.addLine(std::move(line));
  mark(Mark::End);
}

void Dispatcher::logApplicationError(const char* what) {
  std::string text = "Application Error - ";
  text.append(what).append(" (Debug: ").append(trail_.text()).append(")");
  log(text);
}

void Dispatcher::applicationError(const std::exception& e) {
  mark(Mark::Exception);
  logApplicationError(e.what());
  mark(Mark::End);
  throw SilentAbort();
}

}  // namespace varnok
