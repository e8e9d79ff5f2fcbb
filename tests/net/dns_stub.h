#pragma once

// A name server for tests: UDP on 127.0.0.1 at an ephemeral port, served by
// its own thread. Answers A queries for the names it knows with their
// addresses after each name's delay, and any other name with NXDOMAIN at
// once. The thread stops when the stub is destroyed, or by itself after
// kLifetimeMs.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/loopback.h"

namespace varnok::net::testing {

struct DnsRecord {
  std::vector<std::string> addresses;  // dotted quads, answered in this order
  int delayMs = 0;
};

class DnsStub {
 public:
  static constexpr int kLifetimeMs = 20000;

  explicit DnsStub(std::map<std::string, DnsRecord> zone) : zone_(std::move(zone)) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = varnok::testing::loopbackAddress("127.0.0.1", 0);
    ::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    port_ = varnok::testing::localPort(fd_);
    thread_ = std::thread([this] { serve(); });
  }
  ~DnsStub() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  DnsStub(const DnsStub&) = delete;
  DnsStub& operator=(const DnsStub&) = delete;

  // In the form setResolverServers takes.
  std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
  int queries() const { return queries_; }  // received
  int answers() const { return answers_; }  // sent

 private:
  using Clock = std::chrono::steady_clock;
  struct Pending {
    Clock::time_point due;
    std::string reply;
    sockaddr_in to;
  };

  void serve() {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(kLifetimeMs);
    std::vector<Pending> pending;
    while (!stop_ && Clock::now() < end) {
      int waitMs = 20;
      for (const Pending& p : pending) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(p.due - Clock::now()).count();
        waitMs = std::clamp<int>(static_cast<int>(left), 0, waitMs);
      }
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, waitMs) == 1) receive(pending);
      const Clock::time_point now = Clock::now();
      for (auto it = pending.begin(); it != pending.end();) {
        if (it->due > now) {
          ++it;
          continue;
        }
        ::sendto(fd_, it->reply.data(), it->reply.size(), 0,
                 reinterpret_cast<const sockaddr*>(&it->to), sizeof it->to);
        ++answers_;
        it = pending.erase(it);
      }
    }
  }

  void receive(std::vector<Pending>& pending) {
    char buf[512];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 12) return;
    const std::string query(buf, static_cast<std::size_t>(n));
    // The question: labels up to the root, then type and class.
    std::string name;
    std::size_t pos = 12;
    while (pos < query.size() && query[pos] != 0) {
      const std::size_t label = static_cast<unsigned char>(query[pos]);
      if (pos + 1 + label > query.size()) return;
      if (!name.empty()) name += '.';
      for (std::size_t i = 0; i < label; ++i) {
        name += static_cast<char>(std::tolower(static_cast<unsigned char>(query[pos + 1 + i])));
      }
      pos += 1 + label;
    }
    const std::size_t questionEnd = pos + 5;
    if (questionEnd > query.size()) return;
    const bool typeA = query[pos + 1] == 0 && query[pos + 2] == 1;
    ++queries_;

    const auto found = zone_.find(name);
    std::vector<std::string> addresses;
    if (found != zone_.end() && typeA) addresses = found->second.addresses;
    std::string reply = query.substr(0, questionEnd);
    reply[2] = static_cast<char>(0x80 | (query[2] & 0x79));  // response, opcode and RD echoed
    reply[3] = static_cast<char>(found == zone_.end() ? 0x83 : 0x80);  // RA; NXDOMAIN or NOERROR
    reply[4] = 0;                                                      // one question
    reply[5] = 1;
    reply[6] = 0;
    reply[7] = static_cast<char>(addresses.size());
    for (int i = 8; i < 12; ++i) reply[i] = 0;  // no authority, no additional records
    for (const std::string& dotted : addresses) {
      in_addr addr{};
      inet_pton(AF_INET, dotted.c_str(), &addr);
      const char record[] = {'\xc0', '\x0c', 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};  // name, A, IN, TTL
      reply.append(record, sizeof record);
      reply.append(reinterpret_cast<const char*>(&addr), 4);
    }
    const int delayMs = found == zone_.end() ? 0 : found->second.delayMs;
    pending.push_back({Clock::now() + std::chrono::milliseconds(delayMs), std::move(reply), from});
  }

  std::map<std::string, DnsRecord> zone_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> queries_{0};
  std::atomic<int> answers_{0};
  std::thread thread_;
};

}  // namespace varnok::net::testing
