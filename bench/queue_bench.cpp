// Speed of the queue operations with long queues: putting in, taking the
// head, choosing the encoder that waited longest, and the expiry pass. None
// of them may cost time in proportion to the queue's length; the expiry pass
// costs in proportion to what expires. Each runs at 10^3 .. 10^6 queued
// entries; varnok_bench_table compares every size with 10^3.
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "dispatcher/dispatcher.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "support/dispatcher_peer.h"
#include "support/loopback.h"
#include "support/temp_dir.h"

namespace varnok {
namespace {

// Entries moved per timed batch, so that pausing the timer to restore the
// queue's length costs little against the batch itself.
constexpr std::int64_t kBatch = 1000;

// A command of 64 bytes, line end included: long enough to live on the heap.
const std::string kCommand = "RT1=Now playing: a title long enough to fill a whole RDS line!\r\n";

[[noreturn]] void setupFailed(const char* what) {
  std::fprintf(stderr, "varnok_bench: %s\n", what);
  std::abort();
}

// The port every encoder is configured with: a loopback listener that never
// accepts. A slot bound to an encoder dials it, and as nothing runs the loop
// here the dispatcher never hears how the attempt went: the slot stays bound
// and connecting.
std::uint16_t encoderPort() {
  static const int listener = [] {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = testing::loopbackAddress("127.0.0.1", 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
      setupFailed("cannot listen on loopback for the encoders");
    }
    return fd;
  }();
  return testing::localPort(listener);
}

// A dispatcher started with the given number of encoders, all enabled, two
// sender slots and no input but the calls made here; the loop never runs, so
// no timer fires.
struct Bench {
  explicit Bench(int encoders) {
    std::string ini = "[General]\nEncoderCount=" + std::to_string(encoders) +
                      "\nThreads=2\nMaxMinutesInQueue=10\n[Inputs]\nSocket=0\n";
    const std::string port = std::to_string(encoderPort());
    for (int i = 1; i <= encoders; ++i) {
      ini += "[Encoder" + std::to_string(i) + "]\nHost=127.0.0.1\nPort=" + port + "\n";
    }
    folder.write("varnok.ini", ini);
    app.dispatch([this] { dispatcher.start(); });
    if (dispatcher.encoders().size() != static_cast<std::size_t>(encoders) ||
        dispatcher.senderSlots().size() != 2) {
      setupFailed("the dispatcher did not start with the configured encoders and slots");
    }
  }
  // Queues entries until all queues together hold about total of them
  // (queueCommand puts one in every enabled encoder's queue).
  void fill(std::int64_t total) {
    const auto perCall = static_cast<std::int64_t>(dispatcher.encoders().size());
    for (std::int64_t i = 0; i < total / perCall; ++i) dispatcher.queueCommand(kCommand);
  }
  // Binds the slot to the encoder the way the dispatch tick does (the
  // encoder must have something queued); nothing when it already is.
  void bind(int slot, int encoder) {
    const auto index = static_cast<std::size_t>(slot);
    if (dispatcher.senderSlots()[index].encoder() != encoder) peer.serve(encoder, slot);
    if (dispatcher.senderSlots()[index].encoder() != encoder) setupFailed("a slot was not bound");
  }

  testing::TempDir folder;  // the program folder
  ManualClock clock;
  Application app;
  EventLoop loop{clock, app};
  Dispatcher dispatcher{loop, folder.folder()};
  DispatcherPeer peer{dispatcher};
};

// Filling a million entries takes longer than measuring them, and Google
// Benchmark calls each benchmark several times over (to settle the number of
// iterations, and once per repetition, in random order across benchmarks).
// The filled tables are therefore kept for the whole run, one per number of
// encoders and entries, and shared by the benchmarks that ask for the same;
// every benchmark leaves them as long as it found them.
Bench& prepared(int encoders, std::int64_t entries) {
  static std::map<std::pair<int, std::int64_t>, std::unique_ptr<Bench>> kept;
  std::unique_ptr<Bench>& bench = kept[{encoders, entries}];
  if (!bench) {
    bench = std::make_unique<Bench>(encoders);
    bench->fill(entries);
  }
  return *bench;
}

// The tables of the expiring pass: n young entries over 4 encoders, and a
// fifth encoder whose queue receives, before each pass, kBatch entries
// stamped a day ago (put straight into its queue: ages run on the monotonic
// clock, which no test can set back). The pass drops those and stops at the
// young heads: it must cost what expires, not what stays.
struct Expiring : Bench {
  explicit Expiring(std::int64_t entries) : Bench(5) {
    fill(entries);
    while (queueSize(4) > 0) peer.takeNext(4);  // the fifth starts empty
    plant();
    peer.expiryTick();
    if (queueSize(4) != 0 || queueSize(0) != static_cast<std::size_t>(entries / 5)) {
      setupFailed("an expiry pass does not drop exactly the planted entries");
    }
  }
  std::size_t queueSize(int encoder) const { return dispatcher.queues().size(encoder); }
  void plant() {
    const std::int64_t dayAgo = clock.monotonicMs() - std::int64_t{86'400'000};
    for (std::int64_t i = 0; i < kBatch; ++i) {
      peer.queues().push(4, QueuedCommand{kCommand, dayAgo, {}, nullptr});
    }
  }
};

Expiring& expiring(std::int64_t entries) {
  static std::map<std::int64_t, std::unique_ptr<Expiring>> kept;
  std::unique_ptr<Expiring>& bench = kept[entries];
  if (!bench) bench = std::make_unique<Expiring>(entries);
  return *bench;
}

// queueCommand onto a queue of n entries; the batch is taken off the head
// again with the timer stopped, so the length stays n.
void BM_QueueCommand(benchmark::State& state) {
  Bench& b = prepared(1, state.range(0));
  for (auto _ : state) {
    for (std::int64_t i = 0; i < kBatch; ++i) b.dispatcher.queueCommand(kCommand);
    state.PauseTiming();
    for (std::int64_t i = 0; i < kBatch; ++i) b.peer.takeNext(0);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_QueueCommand)->RangeMultiplier(10)->Range(1000, 1000000);

// takeNext from a queue of n entries; the batch is put back with the timer
// stopped.
void BM_TakeNext(benchmark::State& state) {
  Bench& b = prepared(1, state.range(0) + kBatch);
  for (auto _ : state) {
    for (std::int64_t i = 0; i < kBatch; ++i) benchmark::DoNotOptimize(b.peer.takeNext(0));
    state.PauseTiming();
    b.fill(kBatch);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_TakeNext)->RangeMultiplier(10)->Range(1000, 1000000);

// Choosing the encoder that waited longest, with n entries over 4 encoders
// and one of them bound to a slot.
void BM_LongestWaiting(benchmark::State& state) {
  Bench& b = prepared(4, state.range(0));
  b.bind(0, 0);
  for (auto _ : state) benchmark::DoNotOptimize(b.peer.longestWaiting(false));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LongestWaiting)->RangeMultiplier(10)->Range(1000, 1000000);

// An expiry pass over n fresh entries in 4 queues, in front of which kBatch
// expired entries wait: the pass must cost what expires, not what stays.
void BM_ExpiryTickExpiring(benchmark::State& state) {
  Expiring& e = expiring(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    e.plant();
    state.ResumeTiming();
    e.peer.expiryTick();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_ExpiryTickExpiring)->RangeMultiplier(10)->Range(1000, 1000000);

// An expiry pass over n entries in 4 queues of which none has expired: the
// pass stops at each queue's head.
void BM_ExpiryTickNothingExpired(benchmark::State& state) {
  Bench& b = prepared(4, state.range(0));
  for (auto _ : state) b.peer.expiryTick();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ExpiryTickNothingExpired)->RangeMultiplier(10)->Range(1000, 1000000);

// One dispatch tick with many encoders waiting.
void BM_DispatchTickManyEncoders(benchmark::State& state) {
  Bench b(static_cast<int>(state.range(0)));
  b.dispatcher.queueCommand("x");
  b.bind(0, 0);
  b.bind(1, 1);  // both slots bound and connecting: nothing to do
  for (auto _ : state) b.peer.dispatchTick();
}
BENCHMARK(BM_DispatchTickManyEncoders)->Arg(10)->Arg(1000);

}  // namespace
}  // namespace varnok

BENCHMARK_MAIN();
