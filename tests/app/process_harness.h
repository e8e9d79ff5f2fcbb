#pragma once

// What the process tests share: encoder simulators as separate processes,
// the program's status dump and log lines as scripts read them, and bounded
// waits that keep reading the program's output meanwhile.

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/loopback.h"
#include "support/temp_dir.h"

namespace varnok::testing {

inline std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Polls done() until it holds or timeoutMs have passed, reading the output
// of the given processes between the checks (so that the program's log
// never has to wait for a reader). Returns done().
inline bool eventually(const std::function<bool()>& done, int timeoutMs,
                       const std::vector<ChildProcess*>& pumped = {}) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return done();
    if (pumped.empty()) ::poll(nullptr, 0, 20);  // the polling interval
    for (ChildProcess* p : pumped) p->pump(pumped.size() == 1 ? 20 : 5);
  }
}

// An encoder simulator (ENCODER_SIM) in a process of its own, recording what
// it receives into a file of the test's folder.
class EncoderSim {
 public:
  EncoderSim(const TempDir& dir, const std::string& name, const std::vector<std::string>& args = {})
      : name_(name) {
    file_ = dir.folder() + name + ".bin";
    const std::string ready = dir.folder() + name + ".port";
    // A serial one makes a pseudo-terminal and names its device instead.
    const bool serial = std::find(args.begin(), args.end(), "serial") != args.end();
    std::vector<std::string> all = {"--out", file_, "--ready-file", ready, "--print", "none"};
    if (!serial) all.insert(all.begin(), {"--port", "0"});
    all.insert(all.end(), args.begin(), args.end());
    process_ = std::make_unique<ChildProcess>(ENCODER_SIM, all);
    if (!process_->waitForOutput(serial ? " on /dev/" : " on 127.0.0.1:")) return;
    std::string text = readWholeFile(ready);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (serial) {
      device_ = text;
    } else if (!text.empty()) {
      port_ = static_cast<std::uint16_t>(std::stoi(text));
    }
  }

  std::uint16_t port() const { return port_; }
  // The pseudo-terminal of a serial one.
  const std::string& device() const { return device_; }
  const std::string& name() const { return name_; }
  // Every byte received so far, all connections in the order they were read.
  std::string received() const { return readWholeFile(file_); }
  std::size_t receivedSize() const {
    std::error_code ec;
    const auto size = std::filesystem::file_size(file_, ec);
    return ec ? 0 : static_cast<std::size_t>(size);
  }
  ChildProcess& process() { return *process_; }
  // The simulator's event lines so far.
  const std::string& events() {
    process_->pump(0);
    return process_->out();
  }
  void signal(int signo) { process_->signal(signo); }

 private:
  std::string name_;
  std::string file_;
  std::uint16_t port_ = 0;
  std::string device_;
  std::unique_ptr<ChildProcess> process_;
};

// One encoder's row of the status dump.
struct StatusRow {
  std::string host, port, queue, thread, errors, enabled;
};

// Asks the running program for its status table (SIGUSR1) and reads it from
// its standard output: the header row, one row per encoder, an empty line.
// Rows by encoder name; empty when no dump came within timeoutMs.
inline std::map<std::string, StatusRow> statusDump(ChildProcess& program, int timeoutMs = 5000) {
  static const std::string header =
      "RDS Encoder Name\tHost\tPort\tQueue\tThread\tErrors\tEnabled\n";
  const std::size_t from = program.out().size();
  program.signal(SIGUSR1);
  std::size_t at = std::string::npos, end = std::string::npos;
  const bool came = eventually(
      [&] {
        at = program.out().find(header, from);
        if (at == std::string::npos) return false;
        end = program.out().find("\n\n", at);
        return end != std::string::npos;
      },
      timeoutMs, {&program});
  std::map<std::string, StatusRow> rows;
  if (!came) return rows;
  std::istringstream lines(program.out().substr(at + header.size(), end + 1 - at - header.size()));
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> cells;
    std::size_t start = 0;
    for (;;) {
      const std::size_t tab = line.find('\t', start);
      cells.push_back(line.substr(start, tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    if (cells.size() != 7) continue;
    rows[cells[0]] = StatusRow{cells[1], cells[2], cells[3], cells[4], cells[5], cells[6]};
  }
  return rows;
}

// The texts of the log lines in the program's output ("<date time> text"),
// without their time stamps.
inline std::vector<std::string> logTexts(const std::string& out) {
  std::vector<std::string> texts;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.size() > 22 && line[0] == '<' && line.compare(20, 2, "> ") == 0) {
      texts.push_back(line.substr(22));
    }
  }
  return texts;
}

// How many log lines read exactly text.
inline int countLog(const std::string& out, const std::string& text) {
  int n = 0;
  for (const std::string& t : logTexts(out)) n += t == text ? 1 : 0;
  return n;
}

// How many log lines start with text.
inline int countLogStarting(const std::string& out, const std::string& text) {
  int n = 0;
  for (const std::string& t : logTexts(out)) n += t.starts_with(text) ? 1 : 0;
  return n;
}

// The program's /status page once it holds wanted (within 5 s), else the
// last one read.
inline std::string statusPageWith(std::uint16_t http, const std::string& wanted,
                                  ChildProcess& program) {
  std::string page;
  eventually(
      [&] {
        page = produce(http, "GET /status HTTP/1.0\r\n\r\n", 1 << 20);
        return page.find(wanted) != std::string::npos;
      },
      5000, {&program});
  return page;
}

// The log lines that name the encoder (they end with " (name)").
inline std::vector<std::string> logNaming(const std::string& out, const std::string& name) {
  const std::string suffix = " (" + name + ")";
  std::vector<std::string> named;
  for (const std::string& t : logTexts(out)) {
    if (t.size() >= suffix.size() &&
        t.compare(t.size() - suffix.size(), suffix.size(), suffix) == 0) {
      named.push_back(t);
    }
  }
  return named;
}

}  // namespace varnok::testing
