// Commands from producers over TCP, and the access lists.
#include "dispatcher/producer_intake.h"

namespace varnok {

ProducerIntake::ProducerIntake(EventLoop& loop, IntakeOwner& owner, DebugTrail& trail,
                               TrafficCounters& counters)
    : owner_(owner), trail_(trail), counters_(counters), listener_(loop) {
  // Port 23 and not listening until start-up says otherwise.
  listener_.setPort(23);
  listener_.onClientConnected = [this](net::AcceptedConnection& c) { connected(c); };
  listener_.onClientDisconnected = [this](net::AcceptedConnection& c) { disconnected(c); };
  listener_.onClientRead = [this](net::AcceptedConnection& c, std::string_view bytes) {
    received(c, bytes);
  };
  listener_.onError = [this](int code, const std::string& text) {
    owner_.socketError(-1, code, text);
  };
}

// Nothing may report into an owner that is going away.
ProducerIntake::~ProducerIntake() {
  listener_.onClientDisconnected = nullptr;
  listener_.onError = nullptr;
}

void ProducerIntake::loadLists(const std::string& programFolder) {
  for (AccessList* list : {&vipList_, &banList_}) {
    mark(Mark::LoadList);
    list->load(programFolder + (list == &vipList_ ? "varnok.vip" : "varnok.ban"));
    mark(Mark::End);
  }
}

Result<> ProducerIntake::listen(std::uint16_t port) {
  listener_.setPort(port);
  return listener_.setListening(true);
}

void ProducerIntake::stopListening() {
  (void)listener_.setListening(false);  // closing cannot fail the caller
}

ProducerGate ProducerIntake::gate() {
  return {[this] { hold(); }, [this] { release(); },
          [this](ProducerShare& share) { readAgain(share); }};
}

void ProducerIntake::connected(net::AcceptedConnection& producer) {
  mark(Mark::ProducerConnected);
  owner_.log("Client " + producer.host() + ":" + std::to_string(producer.port()) + " connected");
  // Accepted while every producer is held: read with the others, once the
  // total has fallen.
  if (held_) producer.setReadPaused(true);
  mark(Mark::End);
}

void ProducerIntake::disconnected(net::AcceptedConnection& producer) {
  mark(Mark::ProducerDisconnected);
  owner_.log("Client " + producer.host() + ":" + std::to_string(producer.port()) + " disconnected");
  mark(Mark::End);
}

void ProducerIntake::received(net::AcceptedConnection& producer, std::string_view bytes) {
  mark(Mark::ProducerData);
  const bool refused = banned(producer.host());
  auto share = std::static_pointer_cast<ProducerShare>(producer.userData);
  if (!share && !bytes.empty()) {
    // The lists give the same answer for the whole connection: it is
    // counted once, at its first chunk.
    share = std::make_shared<ProducerShare>();
    producer.userData = share;
    ++(refused ? counters_.producersRefused : counters_.producersAccepted);
  }
  if (refused || bytes.empty()) return;
  // No acknowledgement, no command: a failed send has been reported, and
  // the connection is gone.
  if (producer.send({kAcknowledgement, sizeof kAcknowledgement - 1}) < 0) return;
  ++counters_.receivedTcp;
  owner_.producerCommand(std::string(bytes), share);
  // Push back instead of dropping: while this producer has more waiting
  // than its bound, it is not read, and TCP slows it down alone. (Past the
  // total bound, the queues have already held every producer.)
  if (producerBound_ > 0 && share->waiting > producerBound_) {
    share->paused = true;
    producer.setReadPaused(true);
  }
  mark(Mark::End);
}

// Many producers, each within its own bound, must not grow the queues
// without end together: none is read, however many there are and whoever
// floods, and TCP slows them all. Nothing is dropped.
void ProducerIntake::hold() {
  held_ = true;
  for (std::size_t i = 0; i < listener_.connectionCount(); ++i) {
    listener_.connection(i).setReadPaused(true);
  }
  if (onProducersHeld_) onProducersHeld_(true);
}

void ProducerIntake::release() {
  held_ = false;
  for (std::size_t i = 0; i < listener_.connectionCount(); ++i) {
    net::AcceptedConnection& producer = listener_.connection(i);
    const auto* share = static_cast<const ProducerShare*>(producer.userData.get());
    if (share == nullptr || !share->paused) producer.setReadPaused(false);
  }
  if (onProducersHeld_) onProducersHeld_(false);
}

// A share that no listed connection carries belongs to a producer that has
// gone, or to an input that is not a connection: nothing to read again.
void ProducerIntake::readAgain(const ProducerShare& share) {
  for (std::size_t i = 0; i < listener_.connectionCount(); ++i) {
    net::AcceptedConnection& producer = listener_.connection(i);
    if (producer.userData.get() != &share) continue;
    producer.setReadPaused(false);
    return;
  }
}

bool ProducerIntake::banned(const std::string& address) {
  mark(Mark::Banned);
  bool result = false;
  // What an operator said for this run comes before the files; of several
  // words that match, the latest.
  for (auto it = accessNow_.rbegin(); it != accessNow_.rend(); ++it) {
    const std::string& entry = it->first;
    const std::size_t star = entry.find('*');
    const bool match =
        star == std::string::npos ? address == entry : address.starts_with(entry.substr(0, star));
    if (!match) continue;
    mark(Mark::End);
    return !it->second;
  }
  if (inList(banList_, address)) {
    result = true;
    if (inList(vipList_, address)) result = false;
  }
  mark(Mark::End);
  return result;
}

void ProducerIntake::setAccess(const std::string& address, bool allow) {
  std::erase_if(accessNow_, [&](const auto& word) { return word.first == address; });
  accessNow_.emplace_back(address, allow);
}

bool ProducerIntake::inList(const AccessList& list, const std::string& address) {
  mark(Mark::InList);
  const bool result = list.matches(address);
  mark(Mark::End);
  return result;
}

}  // namespace varnok
