#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dispatcher/dispatcher.h"
#include "platform/event_loop.h"
#include "support/dispatcher_peer.h"
#include "support/temp_dir.h"
#include "support/virtual_time.h"

namespace varnok::testing {

// Distinct commands, so that a loss, a cut or a reordering shows.
inline std::vector<std::string> commands(int n, std::size_t size) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) {
    std::string c = "C" + std::to_string(i) + ":";
    c.append(size > c.size() + 1 ? size - c.size() - 1 : 0, static_cast<char>('a' + i % 26));
    out.push_back(c + "\r");
  }
  return out;
}

inline std::string joined(const std::vector<std::string>& parts) {
  std::string all;
  for (const std::string& p : parts) all += p;
  return all;
}

// A dispatcher in a temporary program folder, on a loop with a manual clock.
class DispatcherTest : public ::testing::Test {
 protected:
  void create(const std::string& ini) {
    if (!ini.empty()) dir.write("varnok.ini", ini);
    dispatcher = std::make_unique<Dispatcher>(loop, dir.folder());
    peer_ = std::make_unique<DispatcherPeer>(*dispatcher);
    app.dispatch([&] { dispatcher->start(); });
  }
  // A configuration with the given encoders (name, loopback port) and
  // settings, then start-up.
  void start(const std::vector<std::pair<std::string, std::uint16_t>>& encoders,
             const std::string& general = "", const std::string& inputs = "Socket=0\n") {
    std::string ini = "[General]\nEncoderCount=" + std::to_string(encoders.size()) + "\n" +
                      general + "[Inputs]\n" + inputs;
    for (std::size_t i = 0; i < encoders.size(); ++i) {
      ini += "[Encoder" + std::to_string(i + 1) + "]\nName=" + encoders[i].first +
             "\nHost=127.0.0.1\nPort=" + std::to_string(encoders[i].second) + "\n";
    }
    create(ini);
  }
  // The texts of the log lines, without their time stamps.
  std::vector<std::string> logTexts() const {
    std::vector<std::string> out;
    for (const std::string& line : dispatcher->logView().lines()) {
      const std::size_t end = line.find("> ");
      out.push_back(line.front() == '<' && end != std::string::npos ? line.substr(end + 2) : line);
    }
    return out;
  }
  bool logged(const std::string& text) const {
    for (const std::string& t : logTexts()) {
      if (t == text) return true;
    }
    return false;
  }
  std::size_t queueSize(int encoder) const { return dispatcher->queues().size(encoder); }
  DispatcherPeer& peer() { return *peer_; }
  ProducerIntakePeer intakePeer() { return ProducerIntakePeer(peer().intake()); }
  // Dispatch ticks in virtual time, each followed by realMs of real time for
  // the sockets (peers in other threads), until done() or a real-time limit;
  // the counters must add up after every tick.
  bool tickUntil(const std::function<bool()>& done, int realMs = 2, int limitMs = 15000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      time.advance(peer().dispatchTimer().interval());
      loop.runOnce(realMs);
      EXPECT_TRUE(countersAddUp());
    }
    return true;
  }
  // Every queue entry made is delivered, expired, failed, in flight or
  // still waiting, at every moment.
  bool countersAddUp() {
    std::uint64_t inFlight = 0;
    std::uint64_t waiting = 0;
    for (const SenderSlot& s : dispatcher->senderSlots()) inFlight += s.commandsInFlight();
    for (std::size_t i = 0; i < dispatcher->queues().encoderCount(); ++i) {
      waiting += queueSize(static_cast<int>(i));
    }
    const TrafficCounters& c = dispatcher->counters();
    return c.queued ==
           c.delivered + c.expired + c.failedSends + c.replaced + c.cleared + inFlight + waiting;
  }

  TempDir dir;
  ManualClock clock;
  Application app;
  EventLoop loop{clock, app};
  VirtualTime time{loop, clock};
  std::unique_ptr<Dispatcher> dispatcher;
  std::unique_ptr<DispatcherPeer> peer_;
};

}  // namespace varnok::testing
