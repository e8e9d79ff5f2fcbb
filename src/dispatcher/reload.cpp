// Reading the configuration again while Varnok runs, without losing what
// waits in the queues.
#include <new>

#include "dispatcher/dispatcher.h"

namespace varnok {

namespace {

// The same encoder, for a reload: reached the same way and spoken to in the
// same language. Everything else of it (replies, UECP addresses, replace
// keys, Enabled) may change and it keeps its queue.
bool sameEncoder(const Encoder& a, const Encoder& b) {
  if (a.name != b.name || a.transport != b.transport || a.protocol != b.protocol) return false;
  if (a.transport == Transport::Serial) return a.device == b.device;
  return a.host == b.host && a.port == b.port;
}

}  // namespace

Result<std::string> Dispatcher::reload(const DispatcherSettings& next) {
  if (!next.encodersNotRead.empty()) {
    return Error{1, "the encoders could not be read (" + next.encodersNotRead + ")"};
  }
  trail_.mark(Mark::Reload);
  // Keys the running program cannot take over: they wait for the restart.
  const DispatcherConfig& now = config_;
  const DispatcherConfig& wanted = next.config;
  const struct {
    const char* key;
    bool changed;
  } restartKeys[] = {
      {"ListenOnPort", now.listenOnPort != wanted.listenOnPort},
      {"Socket", now.socketInput != wanted.socketInput},
      {"Threads", now.threads != wanted.threads},
      {"ProducerBacklogKB", now.producerBacklogBytes != wanted.producerBacklogBytes},
      {"BacklogTotalMB", now.backlogTotalBytes != wanted.backlogTotalBytes},
  };
  for (const auto& k : restartKeys) {
    if (k.changed)
      log(std::string("Reload: ") + k.key + " changed - it takes effect at the next start");
  }

  // Each new encoder takes over the first old one that is the same.
  std::vector<Encoder> encoders = next.encoders;
  std::vector<int> oldIndexOf(encoders.size(), -1);
  std::vector<int> newIndexOf(encoders_.size(), -1);
  for (std::size_t i = 0; i < encoders.size(); ++i) {
    for (std::size_t old = 0; old < encoders_.size(); ++old) {
      if (newIndexOf[old] >= 0 || !sameEncoder(encoders[i], encoders_[old])) continue;
      oldIndexOf[i] = static_cast<int>(old);
      newIndexOf[old] = static_cast<int>(i);
      break;
    }
  }
  std::vector<std::size_t> dropped;
  try {
    table_.setRowCount(static_cast<int>(encoders.size()) + 1);
    dropped = queues_.remap(oldIndexOf);
  } catch (const std::bad_alloc& e) {
    table_.setRowCount(static_cast<int>(encoders_.size()) + 1);
    trail_.mark(Mark::End);
    return Error{1, std::string("no memory for the new tables (") + e.what() + ")"};
  }

  // What a kept encoder has been through stays with it.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < encoders.size(); ++i) {
    Encoder& e = encoders[i];
    if (oldIndexOf[i] < 0) {
      e.active = e.enabled;
      continue;
    }
    ++kept;
    const Encoder& was = encoders_[static_cast<std::size_t>(oldIndexOf[i])];
    e.errors = was.errors;
    e.errorsInRow = was.errorsInRow;
    e.refused = was.refused;
    e.suspendedAtMs = was.suspendedAtMs;
    e.dialect = was.dialect;
    e.unmappedKeysTold = was.unmappedKeysTold;
    // A suspension outlasts the reload; Enabled is the file's again.
    e.active = e.enabled && (was.active || !was.enabled);
  }

  // The slots: one serving an encoder that is gone lets it go; what was in
  // flight to it is lost like a connection that ended.
  for (SenderSlot& slot : slots_) {
    if (!slot.idle() && slot.encoder() >= 0 &&
        newIndexOf[static_cast<std::size_t>(slot.encoder())] < 0) {
      slot.settle();
      counters_.failedSends += slot.commandsInFlight();
    }
    slot.renumber(newIndexOf);
  }

  std::vector<Encoder> old = std::move(encoders_);
  encoders_ = std::move(encoders);
  config_.encoderCount = wanted.encoderCount;
  config_.repeat = wanted.repeat;
  config_.maxSecondsInQueue = wanted.maxSecondsInQueue;
  config_.errorLimit = wanted.errorLimit;
  config_.suspendForMinutes = wanted.suspendForMinutes;
  config_.fileInput = wanted.fileInput;
  config_.commandLineInput = wanted.commandLineInput;
  expiryTimer_.setEnabled(config_.maxSecondsInQueue > 4);

  std::uint64_t expired = 0;
  for (std::size_t i = 0; i < old.size(); ++i) {
    if (newIndexOf[i] >= 0) continue;
    expired += dropped[i];
    log("Encoder " + old[i].name + " removed by the reload - " + std::to_string(dropped[i]) +
        " waiting commands expired");
  }
  counters_.expired += expired;

  // The table, row by row, as the encoders now stand.
  for (std::size_t i = 0; i < encoders_.size(); ++i) {
    table_.setCell(kColThread, static_cast<int>(i) + 1, "");
    showEncoderRow(i);
  }
  for (const SenderSlot& slot : senderSlots()) {
    if (slot.connected()) table_.setCell(kColThread, slot.encoder() + 1, slot.traits().thread);
  }
  for (const std::string& problem : next.encoderProblems) log(problem);
  intake_.loadLists(config_.programFolder);
  resumeTimer_.wake();
  dispatchTimer_.wake();
  trail_.mark(Mark::End);
  return "encoders kept " + std::to_string(kept) + ", added " +
         std::to_string(encoders_.size() - kept) + ", removed " +
         std::to_string(old.size() - kept) + " (" + std::to_string(expired) +
         " waiting commands expired)";
}

}  // namespace varnok
