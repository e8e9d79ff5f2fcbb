#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/result.h"

namespace varnok {

// What a command file gives: its full name, the encoders it is for (every
// one when empty), its CommandCount and its commands in number order, each
// ending in CR.
struct CommandFile {
  std::string path;
  std::string destination;
  std::int32_t count = 0;
  std::vector<std::string> commands;
};

// Reads the command file that a "FILE:" text names: a bare name lies in the
// program folder. An error, with the log's text, when the file cannot be
// read (missing, unreadable, not a regular file).
Result<CommandFile> readCommandFile(const std::string& request, const std::string& programFolder);

}  // namespace varnok
