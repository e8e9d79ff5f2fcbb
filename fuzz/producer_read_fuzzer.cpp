// Commands from producers: the chunks that read events hand to the
// dispatcher's read handler, on real producer connections over loopback.
//
// Input: chunks separated by the byte 0x1E. A chunk that begins with "B"
// comes from a banned producer (127.0.0.5, listed in varnok.ban), any other
// from a served one (127.0.0.1); the first byte is not part of the command.
//
// The dispatcher listens on a port the system chooses, has two enabled
// encoders, repeats every command once, lets a producer have 1 KiB waiting
// before it stops reading it, and drops commands after a minute. Its timers
// are stopped, so nothing is dialled; after each input the acknowledgements
// are read by the producers, and the queues expire by moving the clock on,
// so memory stays flat however long the run.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "dispatcher/dispatcher.h"
#include "fuzz_support.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "support/dispatcher_peer.h"
#include "support/virtual_time.h"

namespace {

constexpr std::int64_t kBacklogBytes = 1024;
constexpr std::int64_t kCopies = 2 * 2;  // two encoders, each command twice

// A producer's end of a connection: connected before fuzzing starts, read
// without blocking afterwards.
class ProducerEnd {
 public:
  ProducerEnd(std::uint16_t port, const char* from) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    // The listener is up, so a loopback connect completes at once.
    VARNOK_FUZZ_CHECK(::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0);
    VARNOK_FUZZ_CHECK(::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0);
    VARNOK_FUZZ_CHECK(::fcntl(fd_, F_SETFL, O_NONBLOCK) == 0);
  }
  ~ProducerEnd() { ::close(fd_); }
  ProducerEnd(const ProducerEnd&) = delete;
  ProducerEnd& operator=(const ProducerEnd&) = delete;

  // Reads what has arrived; returns how many bytes that was.
  std::size_t collect(std::string& into) const {
    char buf[4096];
    std::size_t total = 0;
    for (;;) {
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) return total;
      into.append(buf, static_cast<std::size_t>(n));
      total += static_cast<std::size_t>(n);
    }
  }

 private:
  int fd_ = -1;
};

struct Rig {
  Rig() {
    scratch.write("varnok.ini",
                  "[General]\nEncoderCount=2\nThreads=2\nRepeat=1\nMaxMinutesInQueue=1\n"
                  "[Inputs]\nSocket=1\nListenOnPort=0\nProducerBacklogKB=1\n"
                  "[Encoder1]\nName=Studio A\nHost=127.0.0.1\nPort=1\n"
                  "[Encoder2]\nName=Studio B\nHost=127.0.0.1\nPort=2\n");
    scratch.write("varnok.ban", "127.0.0.5\n");
    app.dispatch([this] { dispatcher.start(); });
    peer.dispatchTimer().setEnabled(false);
    peer.resumeTimer().setEnabled(false);
    peer.expiryTimer().setEnabled(false);
    VARNOK_FUZZ_CHECK(dispatcher.listening() && dispatcher.queues().encoderCount() == 2);
    VARNOK_FUZZ_CHECK(peer.intake().banList().entries().size() == 1);

    varnok::net::TcpListener& listener = varnok::ProducerIntakePeer(peer.intake()).listener();
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    ::getsockname(listener.descriptor(), reinterpret_cast<sockaddr*>(&bound), &len);
    served = std::make_unique<ProducerEnd>(ntohs(bound.sin_port), "127.0.0.1");
    banned = std::make_unique<ProducerEnd>(ntohs(bound.sin_port), "127.0.0.5");
    VARNOK_FUZZ_CHECK(varnok::testing::runLoopUntil(
        loop, [&] { return listener.connectionCount() == 2; }, 5000));
    for (std::size_t i = 0; i < listener.connectionCount(); ++i) {
      varnok::net::AcceptedConnection& connection = listener.connection(i);
      (connection.host() == "127.0.0.5" ? bannedConnection : servedConnection) = &connection;
    }
    VARNOK_FUZZ_CHECK(servedConnection && bannedConnection);
  }

  varnok::fuzz::ScratchFolder scratch;
  varnok::ManualClock clock;
  varnok::Application app;
  varnok::EventLoop loop{clock, app};
  varnok::Dispatcher dispatcher{loop, scratch.folder()};
  varnok::DispatcherPeer peer{dispatcher};
  std::unique_ptr<ProducerEnd> served;
  std::unique_ptr<ProducerEnd> banned;
  varnok::net::AcceptedConnection* servedConnection = nullptr;
  varnok::net::AcceptedConnection* bannedConnection = nullptr;
};

Rig* rig = nullptr;

// What one producer connection has waiting, as the dispatcher counts it.
std::int64_t waitingOf(const varnok::net::AcceptedConnection* connection) {
  const auto share = std::static_pointer_cast<varnok::ProducerShare>(connection->userData);
  return share ? share->waiting : 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Lives as long as the process: the connections stay up between inputs.
  rig = new Rig;
  std::atexit([] {
    delete rig;
    rig = nullptr;
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const varnok::Dispatcher& dispatcher = rig->dispatcher;
  const varnok::CommandQueues& queues = dispatcher.queues();
  std::size_t acks = 0;
  std::int64_t queuedBytes = 0;
  for (std::string_view piece : varnok::fuzz::splitAt(varnok::fuzz::asText(data, size), '\x1e')) {
    const bool fromBanned = piece.substr(0, 1) == "B";
    auto* connection = fromBanned ? rig->bannedConnection : rig->servedConnection;
    const std::string_view bytes = piece.substr(piece.empty() ? 0 : 1);
    rig->app.dispatch(
        [&] { varnok::ProducerIntakePeer(rig->peer.intake()).received(*connection, bytes); });
    if (!fromBanned && !bytes.empty()) {
      ++acks;
      queuedBytes += kCopies * static_cast<std::int64_t>(bytes.size());
    }
    // Every served command is queued, whole, for each encoder twice; a
    // banned producer's are dropped. Past its bound a producer is not read.
    VARNOK_FUZZ_CHECK(queues.size(0) == 2 * acks && queues.size(1) == 2 * acks);
    VARNOK_FUZZ_CHECK(waitingOf(rig->servedConnection) == queuedBytes);
    VARNOK_FUZZ_CHECK(rig->servedConnection->readPaused() == (queuedBytes > kBacklogBytes));
    // A refused producer queues nothing and is never paused (its share only
    // marks the connection as counted).
    VARNOK_FUZZ_CHECK(waitingOf(rig->bannedConnection) == 0 &&
                      !rig->bannedConnection->readPaused());
    // Each connection is counted once, whatever it sends.
    VARNOK_FUZZ_CHECK(dispatcher.counters().producersRefused <= 1 &&
                      dispatcher.counters().producersAccepted <= 1);
  }
  if (acks > 0) {
    VARNOK_FUZZ_CHECK(queues.queue(0).back().text == queues.queue(1).back().text);
  }

  // The producers take their acknowledgements: one per served command, and
  // nothing for the banned producer. Bounded: a few seconds at most.
  std::string servedGot;
  std::string bannedGot;
  const std::size_t expected = acks * (sizeof varnok::Dispatcher::kAcknowledgement - 1);
  for (int round = 0; round < 5000; ++round) {
    rig->served->collect(servedGot);
    rig->banned->collect(bannedGot);
    if (servedGot.size() >= expected && rig->servedConnection->pendingOutput() == 0) break;
    rig->loop.runOnce(1);
  }
  std::string acknowledgements;
  for (std::size_t i = 0; i < acks; ++i) acknowledgements += varnok::Dispatcher::kAcknowledgement;
  VARNOK_FUZZ_CHECK(servedGot == acknowledgements);
  VARNOK_FUZZ_CHECK(bannedGot.empty());

  // A minute and a second later the expiry pass empties the queues, and the
  // producer is read again.
  rig->clock.advance(61 * 1000);
  rig->peer.expiryTick();
  VARNOK_FUZZ_CHECK(queues.empty(0) && queues.empty(1));
  VARNOK_FUZZ_CHECK(waitingOf(rig->servedConnection) == 0);
  VARNOK_FUZZ_CHECK(!rig->servedConnection->readPaused());
  return 0;
}
