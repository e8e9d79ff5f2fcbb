#include "dispatcher/command_file.h"

#include <algorithm>

#include "platform/command_text.h"
#include "platform/ini_file.h"

namespace varnok {

Result<CommandFile> readCommandFile(const std::string& request, const std::string& programFolder) {
  CommandFile out;
  out.path = commandFileName(request);
  if (out.path.find_first_of("\\:/") == std::string::npos) out.path = programFolder + out.path;

  const IniFile file(out.path);
  if (!file.loaded()) return Error{0, "File could not be read - " + out.path};
  out.count = file.readInteger("CommandList", "CommandCount", 1);
  out.destination = file.readString("CommandList", "DestinationName", "");
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
    if (n && *n >= 1 && *n <= out.count) numbers.push_back(*n);
  }
  // keyNames gives each key once, so each number comes once.
  std::sort(numbers.begin(), numbers.end());
  for (const std::int32_t n : numbers) {
    std::string command = file.readString("CommandList", "Command" + std::to_string(n), "");
    if (command.empty()) continue;
    addCrUnlessPresent(command);
    out.commands.push_back(std::move(command));
  }
  return out;
}

}  // namespace varnok
