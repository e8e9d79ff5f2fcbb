// Speed of the queue operations with long queues: putting in, taking the
// head, choosing the encoder that waited longest, and the expiry pass. None
// of them may cost time in proportion to the queue's length; the expiry pass
// costs in proportion to what expires. Each runs at 10^3 .. 10^6 queued
// entries; varnok_bench_table compares every size with 10^3.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <utility>

#include "dispatcher/form1.h"
#include "platform/event_loop.h"

namespace varnok {
namespace {

// Entries moved per timed batch, so that pausing the timer to restore the
// queue's length costs little against the batch itself.
constexpr std::int64_t kBatch = 1000;

// A command of 64 bytes, line end included: long enough to live on the heap.
const std::string kCommand = "RT1=Now playing: a title long enough to fill a whole RDS line!\r\n";

struct Bench {
  explicit Bench(int encoders) {
    form = std::make_unique<TForm1>(loop, "/nonexistent/");
    form->Kodery.assign(static_cast<std::size_t>(encoders), TKodery{});
    for (auto& k : form->Kodery) k.Enabled = k.Active = true;
    form->Fronty.assign(form->Kodery.size(), {});
    form->Odesilace.assign(2, TOdesilace{});
    form->SG1.setRowCount(encoders + 1);
  }
  // Queues entries until all queues together hold about total of them
  // (DoFronty puts one in every enabled encoder's queue).
  void fill(std::int64_t total) {
    const auto perCall = static_cast<std::int64_t>(form->Kodery.size());
    for (std::int64_t i = 0; i < total / perCall; ++i) form->DoFronty(kCommand, "");
  }
  ManualClock clock;
  Application app;
  EventLoop loop{clock, app};
  std::unique_ptr<TForm1> form;
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

// DoFronty onto a queue of n entries; the batch is taken off the tail again
// with the timer stopped, so the length stays n.
void BM_DoFronty(benchmark::State& state) {
  Bench& b = prepared(1, state.range(0));
  auto& queue = b.form->Fronty[0];
  for (auto _ : state) {
    for (std::int64_t i = 0; i < kBatch; ++i) b.form->DoFronty(kCommand, "");
    state.PauseTiming();
    for (std::int64_t i = 0; i < kBatch; ++i) queue.pop_back();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_DoFronty)->RangeMultiplier(10)->Range(1000, 1000000);

// ZFronty from a queue of n entries; the batch is put back with the timer
// stopped.
void BM_ZFronty(benchmark::State& state) {
  Bench& b = prepared(1, state.range(0) + kBatch);
  for (auto _ : state) {
    for (std::int64_t i = 0; i < kBatch; ++i) benchmark::DoNotOptimize(b.form->ZFronty(0));
    state.PauseTiming();
    b.fill(kBatch);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_ZFronty)->RangeMultiplier(10)->Range(1000, 1000000);

// Choosing the encoder that waited longest, with n entries over 4 encoders
// and one of them bound to a slot.
void BM_CekaNejdyl(benchmark::State& state) {
  Bench& b = prepared(4, state.range(0));
  b.form->Odesilace[0].Koder = 0;
  for (auto _ : state) benchmark::DoNotOptimize(b.form->CekaNejdyl(false));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CekaNejdyl)->RangeMultiplier(10)->Range(1000, 1000000);

// An expiry pass over n fresh entries in 4 queues, in front of which kBatch
// expired entries wait: the pass must cost what expires, not what stays.
void BM_TimerQExpiring(benchmark::State& state) {
  Bench& b = prepared(4, state.range(0));
  const TDateTime old = b.clock.now() - 1.0;  // a day ago: far beyond MaxMinutesInQueue
  for (auto _ : state) {
    state.PauseTiming();
    for (auto& queue : b.form->Fronty) {
      for (std::int64_t i = 0; i < kBatch / 4; ++i) queue.push_front(TFronta{kCommand, old, {}});
    }
    state.ResumeTiming();
    b.form->TimerQTimer();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_TimerQExpiring)->RangeMultiplier(10)->Range(1000, 1000000);

// An expiry pass over n entries in 4 queues of which none has expired: the
// pass stops at each queue's head.
void BM_TimerQNothingExpired(benchmark::State& state) {
  Bench& b = prepared(4, state.range(0));
  for (auto _ : state) b.form->TimerQTimer();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TimerQNothingExpired)->RangeMultiplier(10)->Range(1000, 1000000);

// One dispatch tick with many encoders waiting.
void BM_TimerATickManyEncoders(benchmark::State& state) {
  Bench b(static_cast<int>(state.range(0)));
  b.form->Odesilace[0].Koder = 0;
  b.form->Odesilace[1].Koder = 1;  // both slots bound and connecting: nothing to do
  b.form->DoFronty("x", "");
  for (auto _ : state) b.form->TimerATimer();
}
BENCHMARK(BM_TimerATickManyEncoders)->Arg(10)->Arg(1000);

}  // namespace
}  // namespace varnok

BENCHMARK_MAIN();
