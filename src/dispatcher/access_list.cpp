#include "dispatcher/access_list.h"

#include <string_view>

#include "platform/regular_file.h"

namespace varnok {

void AccessList::load(const std::string& path) {
  entries_.clear();
  std::string line;
  bool longLine = false;
  auto endLine = [&] {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!longLine && !line.empty() && line.size() < 16) entries_.push_back(line);
    line.clear();
    longLine = false;
  };
  // Only a regular file is read (a FIFO or a device in its place must not
  // block), piece by piece: a huge list costs no more memory than a short one.
  readRegularFileInPieces(path, [&](std::string_view piece) {
    for (const char c : piece) {
      if (c == '\n') {
        endLine();
      } else if (line.size() <= 16) {
        line.push_back(c);
      } else {
        longLine = true;  // a list line is short; drop the rest unread
      }
    }
    return true;
  });
  endLine();
}

bool AccessList::matches(const std::string& address) const {
  for (const std::string& entry : entries_) {
    const std::size_t star = entry.find('*');
    if (star == std::string::npos) {
      if (entry == address) return true;
    } else if (address.size() >= star && address.compare(0, star, entry, 0, star) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace varnok
