#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "dispatcher/access_list.h"
#include "dispatcher/command_queues.h"
#include "dispatcher/debug_trail.h"
#include "dispatcher/traffic_counters.h"
#include "net/tcp_listener.h"
#include "platform/result.h"

namespace varnok {

// What the intake reports to the dispatcher. Runs on the loop's thread,
// inside the intake's own handlers.
class IntakeOwner {
 public:
  virtual void log(std::string_view text) = 0;
  // A socket error of the listener or of a producer's connection (encoder
  // is always -1: no encoder is concerned).
  virtual void socketError(int encoder, int errorCode, const std::string& text) = 0;
  // An acknowledged chunk from a producer, to be queued for every encoder
  // and counted in the producer's share.
  virtual void producerCommand(const std::string& command,
                               const std::shared_ptr<ProducerShare>& share) = 0;

 protected:
  ~IntakeOwner() = default;
};

// The producers' side: the listener and its connections, the vip and ban
// lists, each producer's share of what waits in the queues, the
// acknowledgement, and the pushback that slows producers down instead of
// dropping what they send.
//
// Ownership: the intake owns the listener, which owns the connections; each
// connection's share is kept with it (userData) and by the queued entries
// it put there. The owner, the trail and the counters outlive the intake.
class ProducerIntake {
 public:
  static constexpr char kAcknowledgement[] = "\r\n+\r\n\r\n";

  ProducerIntake(EventLoop& loop, IntakeOwner& owner, DebugTrail& trail, TrafficCounters& counters);
  ~ProducerIntake();
  ProducerIntake(const ProducerIntake&) = delete;
  ProducerIntake& operator=(const ProducerIntake&) = delete;

  // Reads varnok.vip and varnok.ban from the program folder, replacing the
  // lists.
  void loadLists(const std::string& programFolder);
  // For this run: producers from address (an entry as the lists take it)
  // are served (allow) or refused; the lists on disk are not written.
  void setAccess(const std::string& address, bool allow);
  // A producer with more than bytes waiting is not read until half of it
  // has gone (0 or less: no bound).
  void setProducerBound(std::int64_t bytes) { producerBound_ = bytes; }
  // Starts listening; a failure has been reported (and logged) when it
  // comes back.
  Result<> listen(std::uint16_t port);
  void stopListening();

  // What the queues tell whoever reads the producers.
  ProducerGate gate();
  // What inputs other than producer connections have waiting (the broker),
  // counted as one producer.
  const std::shared_ptr<ProducerShare>& otherInputsShare() const { return otherInputs_; }
  // Told when the producers' total bound holds every producer (true) and
  // when it lets them be read again (false), after the queue operation that
  // decided it.
  void setOnProducersHeld(std::function<void(bool held)> onHeld) {
    onProducersHeld_ = std::move(onHeld);
  }

  // Whether the lists refuse commands from address (a vip entry overrides
  // a ban), and whether one list names it.
  bool banned(const std::string& address);
  bool inList(const AccessList& list, const std::string& address);
  const AccessList& vipList() const { return vipList_; }
  const AccessList& banList() const { return banList_; }

  bool listening() const { return listener_.listening(); }
  std::uint16_t port() const { return listener_.port(); }
  std::size_t connectionCount() const { return listener_.connectionCount(); }
  std::vector<std::string> addresses() const {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < listener_.connectionCount(); ++i) {
      out.push_back(listener_.connection(i).host());
    }
    return out;
  }

 private:
  friend class ProducerIntakePeer;  // tests feed a connection's chunk directly

  void connected(net::AcceptedConnection& producer);
  void disconnected(net::AcceptedConnection& producer);
  void received(net::AcceptedConnection& producer, std::string_view bytes);
  void hold();
  void release();
  void readAgain(const ProducerShare& share);
  void mark(Mark m) { trail_.mark(m); }

  IntakeOwner& owner_;
  DebugTrail& trail_;
  TrafficCounters& counters_;
  AccessList vipList_;
  AccessList banList_;
  // An operator's words for this run, before the lists, in the order said:
  // a pattern and whether it is allowed. One per pattern.
  std::vector<std::pair<std::string, bool>> accessNow_;
  std::int64_t producerBound_ = 0;
  bool held_ = false;  // the queues hold every producer
  std::shared_ptr<ProducerShare> otherInputs_ = std::make_shared<ProducerShare>();
  std::function<void(bool)> onProducersHeld_;
  net::TcpListener listener_;
};

}  // namespace varnok
