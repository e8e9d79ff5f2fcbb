// Texts handed over by a second copy, and command files.
#include <vector>

#include "dispatcher/command_file.h"
#include "dispatcher/dispatcher.h"
#include "platform/command_text.h"

namespace varnok {

// A text dropped by the Inputs switches or left empty counts as handled. A
// command file's commands are queued and the file logged; one that cannot
// be read queues nothing. Hand-offs and command files count toward the
// producers' total bound like the broker's messages: while it holds, or
// where a file would pass it, nothing of them is queued (never half a file),
// and the second copy is told so.
Dispatcher::HandOff Dispatcher::handOff(const std::string& received) {
  trail_.mark(Mark::HandOff);
  std::string text = received;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (text.empty()) return HandOff::Handled;
  HandOff result = HandOff::Handled;
  const std::shared_ptr<ProducerShare>& share = intake_.otherInputsShare();
  if (namesCommandFile(text)) {
    if (config_.fileInput) {
      trail_.mark(Mark::CommandFile);
      const Result<CommandFile> file = readCommandFile(text, config_.programFolder);
      if (!file) {
        log(file.error().message);
        result = HandOff::FileNotRead;
      } else if (!roomFor(file.value().commands, file.value().destination)) {
        log("File refused - the queues are full (" + file.value().path + ")");
        result = HandOff::QueuesFull;
      } else {
        for (const std::string& command : file.value().commands) {
          ++counters_.receivedFile;
          enqueue(command, {file.value().destination, -1}, {CommandSource::CommandFile, 0}, share);
        }
        if (file.value().count >= 1) log("File processed - " + file.value().path);
      }
      trail_.mark(Mark::End);
    }
  } else {
    addCrUnlessPresent(text);
    if (config_.commandLineInput) {
      if (!roomFor({text}, {})) {
        log("Hand-off refused - the queues are full");
        result = HandOff::QueuesFull;
      } else {
        ++counters_.receivedHandOff;
        enqueue(text, {}, {CommandSource::HandOff, 0}, share);
      }
    }
  }
  trail_.mark(Mark::End);
  return result;
}

// What the commands would add to the producers' total, every copy for every
// encoder they are for, with each entry's bookkeeping, as the queues count
// it; no room while every producer is held, or where they would pass the
// bound.
bool Dispatcher::roomFor(const std::vector<std::string>& commands, const std::string& to) const {
  if (queues_.producersHeld()) return false;
  if (config_.backlogTotalBytes <= 0) return true;
  std::int64_t encoders = 0;
  const std::string target = upperAscii(to);
  for (const Encoder& e : encoders_) {
    if (e.enabled && (to.empty() || upperAscii(e.name) == target)) ++encoders;
  }
  std::int64_t bytes = 0;
  for (const std::string& c : commands) {
    bytes += static_cast<std::int64_t>(c.size() + sizeof(QueuedCommand));
  }
  const std::int64_t copies = std::int64_t{config_.repeat} + 1;
  return copies <= 0 ||
         queues_.producerBytes() + bytes * copies * encoders <= config_.backlogTotalBytes;
}

}  // namespace varnok
