// Speed of the queue operations with long queues: putting in, taking the
// head, and the expiry pass, which must not cost time in proportion to the
// queue's length.
#include <benchmark/benchmark.h>

#include <memory>

#include "dispatcher/form1.h"
#include "platform/event_loop.h"

namespace varnok {
namespace {

struct Bench {
  explicit Bench(int encoders) {
    form = std::make_unique<TForm1>(loop, "/nonexistent/");
    form->Kodery.assign(static_cast<std::size_t>(encoders), TKodery{});
    for (auto& k : form->Kodery) k.Enabled = k.Active = true;
    form->Fronty.assign(form->Kodery.size(), {});
    form->Odesilace.assign(2, TOdesilace{});
    form->SG1.setRowCount(encoders + 1);
  }
  ManualClock clock;
  Application app;
  EventLoop loop{clock, app};
  std::unique_ptr<TForm1> form;
};

// Queue a command for every encoder; then take every head out again.
void BM_DoFrontyThenZFronty(benchmark::State& state) {
  Bench b(4);
  const auto n = state.range(0);
  for (auto _ : state) {
    for (std::int64_t i = 0; i < n; ++i) b.form->DoFronty("RT1=Now playing\r", "");
    for (std::int64_t i = 0; i < n; ++i) benchmark::DoNotOptimize(b.form->ZFronty(0));
    b.form->Fronty.assign(4, {});
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_DoFrontyThenZFronty)->Arg(1000)->Arg(100000)->Arg(1000000);

// Taking the head of a queue of a million entries.
void BM_ZFrontyFromLongQueue(benchmark::State& state) {
  Bench b(1);
  for (std::int64_t i = 0; i < state.range(0); ++i) b.form->DoFronty("x", "");
  for (auto _ : state) {
    if (b.form->Fronty[0].empty()) {
      state.PauseTiming();
      for (std::int64_t i = 0; i < state.range(0); ++i) b.form->DoFronty("x", "");
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(b.form->ZFronty(0));
  }
}
BENCHMARK(BM_ZFrontyFromLongQueue)->Arg(1000)->Arg(1000000);

// An expiry pass over long queues whose heads have not expired: the pass
// stops at the first head that stays.
void BM_TimerQNothingExpired(benchmark::State& state) {
  Bench b(4);
  for (std::int64_t i = 0; i < state.range(0); ++i) b.form->DoFronty("x", "");
  for (auto _ : state) b.form->TimerQTimer();
}
BENCHMARK(BM_TimerQNothingExpired)->Arg(1000)->Arg(1000000);

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
