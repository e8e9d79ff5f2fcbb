#pragma once

// Reading the small files Varnok takes from its program folder (the
// configuration, the access lists, command files) without ever waiting on
// something that is not a file.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace varnok {

// Reads the regular file at path from its start, handing each piece read
// (at most 64 KiB) to take(std::string_view); take returns false to stop
// reading there. Symbolic links are followed.
//
// Anything but a regular file is refused before the first read: a folder, a
// device, and a FIFO, which is opened without waiting for a writer (a FIFO
// opened for reading blocks until one comes). False when the file cannot be
// opened, is not a regular file, or a read fails (the pieces before the
// failure have been handed over); true when the end was reached or take
// stopped.
template <typename Take>
bool readRegularFileInPieces(const std::string& path, Take&& take) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return false;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!take(std::string_view(buf, static_cast<std::size_t>(n)))) return true;
  }
}

// The first maxBytes (at most) of the regular file at path; nothing when
// readRegularFileInPieces refuses the file or a read fails.
inline std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes) {
  std::string content;
  const bool read = readRegularFileInPieces(path, [&](std::string_view piece) {
    content.append(piece.substr(0, maxBytes - content.size()));
    return content.size() < maxBytes;
  });
  if (!read) return std::nullopt;
  return content;
}

}  // namespace varnok
