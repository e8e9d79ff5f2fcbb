// Commands from producers over TCP, and the access lists.
#include "dispatcher/dispatcher.h"

namespace varnok {

void Dispatcher::producerConnected(net::AcceptedConnection& producer) {
  mark(Mark::ProducerConnected);
  log("Client " + producer.host() + ":" + std::to_string(producer.port()) + " connected");
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
  // than its bound, it is not read, and TCP slows it down alone.
  if (config_.producerBacklogBytes > 0 && share->waiting > config_.producerBacklogBytes) {
    share->paused = true;
    producer.setReadPaused(true);
  }
  mark(Mark::End);
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
