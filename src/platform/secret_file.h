#pragma once

// A secret kept in a file of its own (a bearer token, a broker password),
// so that it is not in varnok.ini, which others may be allowed to read.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/ascii_text.h"
#include "platform/unique_fd.h"

namespace varnok {

struct SecretFile {
  enum class Status {
    Read,
    CannotRead,     // missing, unreadable, or not a regular file
    OthersMayRead,  // group or others may read it: refused
  };
  Status status = Status::CannotRead;
  std::string firstLine;  // blanks around it dropped; may be empty
};

// Opened first and then looked at, so that what is checked is what is read.
inline SecretFile readSecretFile(const std::string& path) {
  SecretFile out;
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return out;
  if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    out.status = SecretFile::Status::OthersMayRead;
    return out;
  }
  // A secret is one short line: what lies past the first 4 KiB is not it.
  char buf[4096];
  std::size_t got = 0;
  while (got < sizeof buf) {
    const ssize_t n = ::read(fd.get(), buf + got, sizeof buf - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return out;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  const std::string_view content(buf, got);
  out.firstLine = std::string(trimmed(content.substr(0, content.find('\n'))));
  out.status = SecretFile::Status::Read;
  return out;
}

}  // namespace varnok
