#pragma once

// The tests' one way inside the dispatcher: its tables, components and
// private steps, for tests that must set up a state or drive one step alone.
// Everything else goes through Dispatcher's public interface; the intake's
// own insides through ProducerIntakePeer.

#include <string>
#include <string_view>
#include <vector>

#include "dispatcher/dispatcher.h"

namespace varnok {

class DispatcherPeer {
 public:
  explicit DispatcherPeer(Dispatcher& d) : d_(d) {}

  // Tables and components.
  std::vector<Encoder>& encoders() { return d_.encoders_; }
  CommandQueues& queues() { return d_.queues_; }
  ProducerIntake& intake() { return d_.intake_; }
  const SenderSlot& slot(int index) { return d_.slots_[static_cast<std::size_t>(index)]; }
  // Binds a slot to an encoder (SenderSlot::kNone: idle) without dialling,
  // connected or not.
  void bindSlot(int index, int encoder, bool connected = false) {
    SenderSlot& s = d_.slots_[static_cast<std::size_t>(index)];
    s.encoder_ = encoder;
    using State = SenderSlot::State;
    s.state_ = encoder == SenderSlot::kNone ? State::Idle
                                            : (connected ? State::Connected : State::Dialling);
  }
  // A slot's link reports its connection up, or its end.
  void slotConnected(int index) { d_.slots_[static_cast<std::size_t>(index)].established(); }
  void slotDisconnected(int index) { d_.slots_[static_cast<std::size_t>(index)].disconnected(); }
  StatusTable& statusTable() { return d_.table_; }
  Timer& dispatchTimer() { return d_.dispatchTimer_; }
  Timer& expiryTimer() { return d_.expiryTimer_; }
  Timer& resumeTimer() { return d_.resumeTimer_; }

  // Single steps.
  void startTrail() { d_.trail_.start(); }
  void mark(Mark m) { d_.trail_.mark(m); }
  std::string takeNext(int encoder) { return d_.takeNext(encoder); }
  bool isServed(int encoder, bool connectedRequired) {
    return d_.isServed(encoder, connectedRequired);
  }
  int waitingUnserved() { return d_.waitingUnserved(); }
  int longestWaiting(bool servedOnly) { return d_.longestWaiting(servedOnly); }
  int idleSlot() { return d_.idleSlot(); }
  void dispatchTick() { d_.dispatchTick(); }
  void serve(int encoder, int slot) { (void)d_.serve(encoder, slot); }
  void expiryTick() { d_.expiryTick(); }
  void resumeTick() { d_.resumeTick(); }
  void suspend(int encoder) { d_.suspend(encoder); }

 private:
  Dispatcher& d_;
};

// The producers' listener, and a chunk handed to the intake as if read from
// one of its connections.
class ProducerIntakePeer {
 public:
  explicit ProducerIntakePeer(ProducerIntake& intake) : intake_(intake) {}
  net::TcpListener& listener() { return intake_.listener_; }
  void received(net::AcceptedConnection& producer, std::string_view bytes) {
    intake_.received(producer, bytes);
  }

 private:
  ProducerIntake& intake_;
};

}  // namespace varnok
