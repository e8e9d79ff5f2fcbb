// Commands from producers over TCP, and the access lists.
#include "dispatcher/dispatcher.h"

namespace varnok {

void Dispatcher::producerConnected(net::AcceptedConnection& producer) {
  mark(Mark::ProducerConnected);
  log("Client " + producer.host() + ":" + std::to_string(producer.port()) + " connected");
  // Accepted while every producer is held: read with the others, once the
  // total has fallen.
  if (queues_.producersHeld()) producer.setReadPaused(true);
  mark(Mark::End);
}

void Dispatcher::producerDisconnected(net::AcceptedConnection& producer) {
  mark(Mark::ProducerDisconnected);
  log("Client " + producer.host() + ":" + std::to_string(producer.port()) + " disconnected");
  mark(Mark::End);
}

void Dispatcher::producerData(net::AcceptedConnection& producer, std::string_view bytes) {
  mark(Mark::ProducerData);
  const bool refused = banned(producer.host());
  auto share = std::static_pointer_cast<ProducerShare>(producer.userData);
  if (!share && !bytes.empty()) {
    // The lists give the same answer for the whole connection: it is
    // counted once, at its first chunk.
    share = std::make_shared<ProducerShare>();
    share->connection = producer.handle();
    producer.userData = share;
    ++(refused ? counters_.producersRefused : counters_.producersAccepted);
  }
  if (refused || bytes.empty()) return;
  // A failed acknowledgement raises out of here, so the command is not queued.
  producer.send({kAcknowledgement, sizeof kAcknowledgement - 1});
  ++counters_.receivedTcp;
  enqueue(std::string(bytes), {}, {CommandSource::Producer, 0}, share);
  // Push back instead of dropping: while this producer has more waiting
  // than its bound, it is not read, and TCP slows it down alone. (Past the
  // total bound, the queues have already held every producer.)
  if (config_.producerBacklogBytes > 0 && share->waiting > config_.producerBacklogBytes) {
    share->paused = true;
    producer.setReadPaused(true);
  }
  mark(Mark::End);
}

// Many producers, each within its own bound, must not grow the queues
// without end together: none is read, however many there are and whoever
// floods, and TCP slows them all. Nothing is dropped. Runs inside a push.
void Dispatcher::holdProducers() {
  for (std::size_t i = 0; i < listener_.connectionCount(); ++i) {
    listener_.connection(i).setReadPaused(true);
  }
  if (onProducersHeld_) onProducersHeld_(true);
}

// Runs inside a takeNext or an expiry pass: only pauses change here.
void Dispatcher::readProducersAgain() {
  for (std::size_t i = 0; i < listener_.connectionCount(); ++i) {
    net::AcceptedConnection& producer = listener_.connection(i);
    const auto* share = static_cast<const ProducerShare*>(producer.userData.get());
    if (share == nullptr || !share->paused) producer.setReadPaused(false);
  }
  if (onProducersHeld_) onProducersHeld_(false);
}

void Dispatcher::queueProducedCommand(const std::string& command, const Destination& to,
                                      const CommandOrigin& origin) {
  if (origin.source == CommandSource::Broker) ++counters_.receivedBroker;
  enqueue(command, to, origin, producedShare_);
}

bool Dispatcher::banned(const std::string& address) {
  mark(Mark::Banned);
  bool result = false;
  if (inList(banList_, address)) {
    result = true;
    if (inList(vipList_, address)) result = false;
  }
  mark(Mark::End);
  return result;
}

bool Dispatcher::inList(const AccessList& list, const std::string& address) {
  mark(Mark::InList);
  const bool result = list.matches(address);
  mark(Mark::End);
  return result;
}

void Dispatcher::loadList(const std::string& extension) {
  mark(Mark::LoadList);
  AccessList* list = extension == "vip" ? &vipList_ : extension == "ban" ? &banList_ : nullptr;
  if (list) list->load(config_.programFolder + "varnok." + extension);
  mark(Mark::End);
}

}  // namespace varnok
