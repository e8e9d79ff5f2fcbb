#pragma once

// Two rules about command texts that the running copy and a second copy
// must read the same way.

#include <string>
#include <string_view>

#include "platform/ini_file.h"

namespace varnok {

// A hand-off text that starts with "FILE:" in any letter case names a command
// file, whose commands are queued instead of the text itself.
constexpr std::string_view kCommandFilePrefix = "FILE:";

inline bool namesCommandFile(std::string_view text) {
  if (text.size() < kCommandFilePrefix.size()) return false;
  for (std::size_t i = 0; i < kCommandFilePrefix.size(); ++i) {
    if (upperAscii(text[i]) != kCommandFilePrefix[i]) return false;
  }
  return true;
}

// The file name that follows the prefix; the text unchanged when it names no
// command file.
inline std::string_view commandFileName(std::string_view text) {
  return namesCommandFile(text) ? text.substr(kCommandFilePrefix.size()) : text;
}

// Every queued command holds a CR: one is appended unless the command has one
// somewhere already (the sender's own line end, wherever it put it, is kept).
inline void addCrUnlessPresent(std::string& command) {
  if (command.find('\r') == std::string::npos) command.push_back('\r');
}

}  // namespace varnok
