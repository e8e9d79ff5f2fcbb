// Construction, start-up, closing and the operator's window actions.
#include "dispatcher/dispatcher.h"

#include <arpa/inet.h>

#include <new>

#include "net/local_addresses.h"
#include "platform/application.h"
#include "platform/ini_file.h"
#include "platform/program_folder.h"

namespace varnok {

namespace {

// We listen on every address of the machine, so any address of it with the
// port that is dialled (its low 16 bits) would bring every command straight
// back to us, for ever. The host is read as the client will read it, in
// every form inet_aton takes (127.1, 2130706433, 0x7f.1 are all 127.0.0.1);
// other names are looked up only when dialled, and mayDial checks what they
// give.
bool deliversToOurselves(const Encoder& e, std::uint16_t listenOnPort) {
  if (e.transport != Transport::Tcp) return false;  // only TCP reaches our listener
  if ((e.port & 0xFFFF) != listenOnPort) return false;
  if (upperAscii(e.host) == "LOCALHOST") return true;
  in_addr address{};
  if (inet_aton(e.host.c_str(), &address) == 0) return false;
  return net::isThisMachine(address.s_addr);
}

}  // namespace

std::string applicationTitleFor(const std::string& programFolder) {
  try {
    return applicationTitle(programFolder);
  } catch (...) {
    return "Varnok";
  }
}

Dispatcher::Dispatcher(EventLoop& loop, std::string programFolder)
    : loop_(loop),
      intake_(loop, *this, trail_, counters_),
      slots_{{SenderSlot(loop, 0, *this, trail_), SenderSlot(loop, 1, *this, trail_),
              SenderSlot(loop, 2, *this, trail_), SenderSlot(loop, 3, *this, trail_)}},
      dispatchTimer_(loop),
      expiryTimer_(loop),
      resumeTimer_(loop) {
  config_.programFolder = std::move(programFolder);
  dispatchTimer_.setInterval(45);
  dispatchTimer_.setOnTimer([this] { dispatchTick(); });
  dispatchTimer_.setEnabled(true);
  expiryTimer_.setInterval(9700);
  expiryTimer_.setOnTimer([this] { expiryTick(); });
  resumeTimer_.setInterval(10000);
  resumeTimer_.setOnTimer([this] { resumeTick(); });
  resumeTimer_.setEnabled(true);
}

// Nothing may report into a dispatcher that is going away: the hook first;
// the slots and the intake quiet their own handlers as they go.
Dispatcher::~Dispatcher() {
  loop_.app().setOnException(nullptr);
}

std::span<const SenderSlot> Dispatcher::senderSlots() const {
  return {slots_.data(), static_cast<std::size_t>(slotCount_)};
}

Result<> Dispatcher::start() {
  return start(
      readDispatcherSettings(readConfigurationFile(config_.programFolder), config_.programFolder));
}

Result<> Dispatcher::start(const DispatcherSettings& settings) {
  trail_.start();
  loop_.app().setOnException([this](const std::exception& e) {
    trail_.mark(Mark::Exception);
    applicationError(e.what());
    trail_.mark(Mark::End);
  });

  logView_.addLine("Varnok - RDS command dispatcher");
  log("RDS dispatcher Varnok v. 1.0b starting up...");

  config_ = settings.config;
  dispatchTimer_.setInterval(90 / config_.threads);
  expiryTimer_.setEnabled(config_.maxSecondsInQueue > 4);

  slotCount_ = config_.threads;
  for (SenderSlot& slot : slots_) slot.setInUse(slot.index() < slotCount_);
  // The encoder table, the queues and the table's rows are sized together:
  // when memory runs out on the way, start-up goes on with no encoders
  // rather than with tables of different lengths.
  if (!settings.encodersNotRead.empty()) {
    applicationError(settings.encodersNotRead.c_str());
    buildEncoderTables({});
  } else {
    try {
      buildEncoderTables(settings.encoders);
    } catch (const std::bad_alloc& e) {
      applicationError(e.what());
      buildEncoderTables({});
    }
  }

  intake_.loadLists(config_.programFolder);
  intake_.setProducerBound(config_.producerBacklogBytes);
  log("Configuration file loaded");
  for (const std::string& problem : settings.encoderProblems) log(problem);
  for (const Encoder& e : encoders_) {
    if (e.enabled && !e.replyOk.empty()) {
      log("Encoder " + e.name + " confirms each command (reply " + e.replyOk + " within " +
          std::to_string(e.replyTimeoutMs) + " ms)");
    }
    if (e.enabled && e.protocol == Protocol::Uecp) {
      log("Encoder " + e.name + " takes UECP (site " + std::to_string(e.uecpAddress >> 6) +
          ", encoder " + std::to_string(e.uecpAddress & 63) + ", data set " +
          std::to_string(e.dataSet) + ", service " + std::to_string(e.serviceNumber) +
          (e.confirmUecp
               ? "; each frame acknowledged within " + std::to_string(e.replyTimeoutMs) + " ms)"
               : ")"));
    }
  }

  if (config_.socketInput) {
    // A port that cannot be had is logged by the error report, and ends the
    // start-up here: no "Listening" line and no closing mark.
    if (Result<> listening = intake_.listen(config_.listenOnPort); !listening) return listening;
    log("Listening on port " + std::to_string(intake_.port()));
  }
  trail_.mark(Mark::End);
  return {};
}

void Dispatcher::buildEncoderTables(const std::vector<Encoder>& configured) {
  std::vector<Encoder> encoders = configured;
  CommandQueues queues(encoders.size(), config_.producerBacklogBytes, config_.backlogTotalBytes,
                       intake_.gate());
  table_.setRowCount(static_cast<int>(encoders.size()) + 1);
  encoders_ = std::move(encoders);
  queues_ = std::move(queues);

  static const char* const headers[StatusTable::kColumns] = {
      "RDS Encoder Name", "Host", "Port", "Queue", "Thread", "Errors", "Enabled"};
  for (int c = 0; c < StatusTable::kColumns; ++c) table_.setCell(c, 0, headers[c]);
  for (std::size_t i = 0; i < encoders_.size(); ++i) {
    encoders_[i].active = encoders_[i].enabled;
    showEncoderRow(i);
  }
}

void Dispatcher::showEncoderRow(std::size_t i) {
  Encoder& e = encoders_[i];
  const int row = static_cast<int>(i) + 1;
  // Never deliver to our own listening port (see deliversToOurselves).
  if (e.enabled && deliversToOurselves(e, config_.listenOnPort)) {
    switchOffSelfDelivery(static_cast<int>(i), static_cast<std::uint16_t>(e.port & 0xFFFF));
  }
  table_.setCell(kColName, row, e.name);
  table_.setCell(kColQueue, row, std::to_string(queues_.size(static_cast<int>(i))));
  // A serial encoder shows its device and rate.
  const bool serial = e.transport == Transport::Serial;
  table_.setCell(kColHost, row, serial ? e.device : e.host);
  table_.setCell(kColPort, row, std::to_string(serial ? e.baud : e.port));
  table_.setCell(kColErrors, row, e.errors > 0 ? std::to_string(e.errors) : "");
  table_.setCell(kColEnabled, row, e.active ? "Yes" : (e.enabled ? "Suspended" : "No"));
}

// The last word before every connect(), on the address actually dialled,
// however the host was written and whatever a name resolved to; only while
// we listen, as nothing else would take the commands back in.
bool Dispatcher::mayDial(int encoder, const sockaddr_in& target) {
  const std::uint16_t port = ntohs(target.sin_port);
  if (!intake_.listening() || port != intake_.port()) return true;
  if (!net::isThisMachine(target.sin_addr.s_addr)) return true;
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
  trail_.mark(Mark::Close);
  intake_.stopListening();
  for (SenderSlot& slot : slots_) slot.close();
  trail_.mark(Mark::End);
}

void Dispatcher::systemMenuCommand(int command) {
  trail_.mark(Mark::SystemMenu);
  if (command == kInfoCommand && window_) {
    window_->openDocument(config_.programFolder + "varnok.txt");
  }
  trail_.mark(Mark::End);
}

void Dispatcher::toggleWindow() {
  trail_.mark(Mark::ToggleWindow);
  if (window_) {
    if (window_->isShown()) {
      window_->hideWindow();
    } else {
      window_->showWindow();
    }
  }
  trail_.mark(Mark::End);
}

void Dispatcher::exit() {
  trail_.mark(Mark::Exit);
  if (window_) window_->closeWindow();
}

void Dispatcher::log(std::string_view text) {
  trail_.mark(Mark::Log);
  while (logView_.lineCount() > kLogLinesBeforeAdd) logView_.deleteFirstDisplayedLine();
  std::string line = "<";
  line.append(formatDateTime(loop_.clock().now())).append("> ").append(text);
  logView_.addLine(std::move(line));
  trail_.mark(Mark::End);
}

void Dispatcher::applicationError(const char* what) {
  std::string text = "Application Error - ";
  text.append(what).append(" (Debug: ").append(trail_.text()).append(")");
  log(text);
}

}  // namespace varnok
