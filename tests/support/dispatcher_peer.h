#pragma once

// The tests' one way inside the dispatcher: its tables, components and
// private steps, for tests that must set up a state or drive one step alone.
// Everything else goes through Dispatcher's public interface.

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
  SenderSlot& slot(int index) { return d_.slots_[static_cast<std::size_t>(index)]; }
  // Binds a slot to an encoder (SenderSlot::kNone: idle) without dialling.
  void bindSlot(int index, int encoder) { slot(index).encoder_ = encoder; }
  void setSlotConnected(int index, bool connected) { slot(index).connected_ = connected; }
  StatusTable& statusTable() { return d_.table_; }
  LogView& logView() { return d_.logView_; }
  net::TcpListener& listener() { return d_.listener_; }
  AccessList& vipList() { return d_.vipList_; }
  AccessList& banList() { return d_.banList_; }
  Timer& dispatchTimer() { return d_.dispatchTimer_; }
  Timer& expiryTimer() { return d_.expiryTimer_; }
  Timer& resumeTimer() { return d_.resumeTimer_; }
  TrafficCounters& counters() { return d_.counters_; }

  // Single steps.
  void startTrail() { d_.trail_.start(); }
  void mark(Mark m) { d_.mark(m); }
  std::string takeNext(int encoder) { return d_.takeNext(encoder); }
  bool isServed(int encoder, bool connectedRequired) {
    return d_.isServed(encoder, connectedRequired);
  }
  int waitingUnserved() { return d_.waitingUnserved(); }
  int longestWaiting(bool servedOnly) { return d_.longestWaiting(servedOnly); }
  int activeCount() { return d_.activeCount(); }
  int idleSlot() { return d_.idleSlot(); }
  void dispatchTick() { d_.dispatchTick(); }
  void serve(int encoder, int slot) { d_.serve(encoder, slot); }
  void expiryTick() { d_.expiryTick(); }
  void resumeTick() { d_.resumeTick(); }
  void suspend(int encoder) { d_.suspend(encoder); }
  void slotConnected(int index) { d_.slotConnected(slot(index)); }
  void slotDisconnected(int index) { d_.slotDisconnected(slot(index)); }
  void slotTimer(int index) { d_.slotTimer(slot(index)); }
  bool banned(const std::string& address) { return d_.banned(address); }
  bool inList(const AccessList& list, const std::string& address) {
    return d_.inList(list, address);
  }
  void loadList(const std::string& extension) { d_.loadList(extension); }
  void producerData(net::AcceptedConnection& producer, std::string_view bytes) {
    d_.producerData(producer, bytes);
  }
  bool commandFile(const std::string& request) { return d_.commandFile(request); }

 private:
  Dispatcher& d_;
};

}  // namespace varnok
