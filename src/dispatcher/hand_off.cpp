// Texts handed over by a second copy, and command files.
#include <algorithm>
#include <vector>

#include "dispatcher/dispatcher.h"
#include "platform/command_text.h"
#include "platform/ini_file.h"

namespace varnok {

// False only when the text names a command file that could not be read; a
// text dropped by the Inputs switches or left empty counts as handled.
bool Dispatcher::handOff(const std::string& received) {
  mark(Mark::HandOff);
  std::string text = received;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (text.empty()) return true;
  bool read = true;
  if (namesCommandFile(text)) {
    if (config_.fileInput) read = commandFile(text);
  } else {
    addCrUnlessPresent(text);
    if (config_.commandLineInput) {
      ++counters_.receivedHandOff;
      queueCommand(text, {}, {CommandSource::HandOff, 0});
    }
  }
  mark(Mark::End);
  return read;
}

// Queues the commands of the command file that a "FILE:" text names and logs
// it. False when the file could not be read (missing, unreadable, not a
// regular file); then nothing is queued.
bool Dispatcher::commandFile(const std::string& request) {
  mark(Mark::CommandFile);
  std::string name(commandFileName(request));
  if (name.find_first_of("\\:/") == std::string::npos) name = config_.programFolder + name;

  const IniFile file(name);
  if (!file.loaded()) {
    log("File could not be read - " + name);
    mark(Mark::End);
    return false;
  }
  const std::int32_t count = file.readInteger("CommandList", "CommandCount", 1);
  const std::string destination = file.readString("CommandList", "DestinationName", "");
  // Only the CommandN keys the file holds can give a command, so those are
  // read rather than every number up to the count, which may be near 2^31.
  // A key counts as "Command" + N written the canonical way (no sign, no
  // leading zero), just as looking up "Command" + N would find it.
  std::vector<std::int32_t> numbers;
  for (const std::string& key : file.keyNames("CommandList")) {
    if (key.size() <= 7 || key.compare(0, 7, "COMMAND") != 0 || key[7] == '0' ||
        key.find_first_not_of("0123456789", 7) != std::string::npos) {
      continue;
    }
    const auto n = IniFile::parseInteger(key.substr(7));
    if (n && *n >= 1 && *n <= count) numbers.push_back(*n);
  }
  // keyNames gives each key once, so each number comes once.
  std::sort(numbers.begin(), numbers.end());
  for (const std::int32_t n : numbers) {
    std::string command = file.readString("CommandList", "Command" + std::to_string(n), "");
    if (!command.empty()) {
      addCrUnlessPresent(command);
      ++counters_.receivedFile;
      queueCommand(command, {destination, -1}, {CommandSource::CommandFile, 0});
    }
  }
  if (count >= 1) log("File processed - " + name);
  mark(Mark::End);
  return true;
}

}  // namespace varnok
