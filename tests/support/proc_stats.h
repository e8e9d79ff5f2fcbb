#pragma once

// What /proc tells of another process of this user: resident memory, CPU
// time and open descriptors. Each read is a snapshot; -1 when the process is
// gone or the field is missing.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace varnok::testing {

// A "Name:   1234 kB" field of /proc/PID/status, in KiB.
inline long procStatusKb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, field.size() + 1, field + ":") != 0) continue;
    std::istringstream value(line.substr(field.size() + 1));
    long kb = -1;
    value >> kb;
    return kb;
  }
  return -1;
}

// Resident memory now (VmRSS) and at its highest so far (VmHWM), in KiB.
inline long residentKb(pid_t pid) {
  return procStatusKb(pid, "VmRSS");
}
inline long peakResidentKb(pid_t pid) {
  return procStatusKb(pid, "VmHWM");
}

// Time spent on a CPU by all of the process's threads so far, in ns: the
// first field of /proc/PID/schedstat, summed over /proc/PID/task/*.
inline std::int64_t cpuNs(pid_t pid) {
  std::int64_t total = 0;
  bool any = false;
  std::error_code ec;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
    std::ifstream in(task.path() / "schedstat");
    std::int64_t ns = 0;
    if (in >> ns) {
      total += ns;
      any = true;
    }
  }
  return any ? total : -1;
}

// Descriptors the process holds open now.
inline int openDescriptors(pid_t pid) {
  int n = 0;
  std::error_code ec;
  std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec);
  if (ec) return -1;
  for (const auto& entry : it) {
    (void)entry;
    ++n;
  }
  return n;
}

}  // namespace varnok::testing
