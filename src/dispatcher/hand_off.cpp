// Texts handed over by a second copy, and command files.
#include "dispatcher/command_file.h"
#include "dispatcher/dispatcher.h"
#include "platform/command_text.h"

namespace varnok {

// False only when the text names a command file that could not be read; a
// text dropped by the Inputs switches or left empty counts as handled. A
// command file's commands are queued and the file logged; one that cannot
// be read queues nothing.
bool Dispatcher::handOff(const std::string& received) {
  trail_.mark(Mark::HandOff);
  std::string text = received;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (text.empty()) return true;
  bool read = true;
  if (namesCommandFile(text)) {
    if (config_.fileInput) {
      trail_.mark(Mark::CommandFile);
      const Result<CommandFile> file = readCommandFile(text, config_.programFolder);
      if (!file) {
        log(file.error().message);
        read = false;
      } else {
        for (const std::string& command : file.value().commands) {
          ++counters_.receivedFile;
          queueCommand(command, {file.value().destination, -1}, {CommandSource::CommandFile, 0});
        }
        if (file.value().count >= 1) log("File processed - " + file.value().path);
      }
      trail_.mark(Mark::End);
    }
  } else {
    addCrUnlessPresent(text);
    if (config_.commandLineInput) {
      ++counters_.receivedHandOff;
      queueCommand(text, {}, {CommandSource::HandOff, 0});
    }
  }
  trail_.mark(Mark::End);
  return read;
}

}  // namespace varnok
