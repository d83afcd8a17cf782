// Cost of the ledger steps on the real wall clock: a granted try_acquire on
// one and on four windows (limits so large that nothing is ever refused), a
// refusal, and the two read-only queries. This is the floor a host-level
// call is measured against.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <optional>

#include "engine/clock.hpp"
#include "engine/config.hpp"
#include "engine/ledger.hpp"

namespace {

using namespace ratevane;

constexpr uint64_t kHuge = uint64_t{1} << 63;

std::unique_ptr<LimiterContents> make(const LimiterConfig& config) {
  Expected<LimiterContents> built = build_limiter(config);
  if (!built) {
    std::fprintf(stderr, "bad configuration: %s\n", built.error().message.c_str());
    std::abort();
  }
  return std::make_unique<LimiterContents>(std::move(built.value()));
}

LimiterConfig windows(std::optional<uint64_t> sec, std::optional<uint64_t> min = {},
                      std::optional<uint64_t> hour = {}, std::optional<uint64_t> day = {}) {
  LimiterConfig c;
  c.sec = sec;
  c.min = min;
  c.hour = hour;
  c.day = day;
  return c;
}

void expect(benchmark::State& state, Take got, Take want) {
  if (got != want) state.SkipWithError("unexpected ledger outcome");
}

void BM_WallClockRead(benchmark::State& state) {
  const WallClock& clock = system_wall_clock();
  for (auto _ : state) benchmark::DoNotOptimize(clock.now_ns());
}
BENCHMARK(BM_WallClockRead);

// One limiter per benchmark, shared by all of its threads.
void BM_GrantOneWindow(benchmark::State& state) {
  static std::unique_ptr<LimiterContents> l;
  if (state.thread_index() == 0) l = make(windows(kHuge));
  // Google Benchmark starts every thread's loop together, after setup.
  for (auto _ : state) {
    Take t = try_acquire(*l->core, l->burst());
    benchmark::DoNotOptimize(t);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GrantOneWindow)->ThreadRange(1, 8)->UseRealTime();

void BM_GrantFourWindows(benchmark::State& state) {
  static std::unique_ptr<LimiterContents> l;
  if (state.thread_index() == 0) l = make(windows(kHuge, kHuge, kHuge, kHuge));
  for (auto _ : state) {
    Take t = try_acquire(*l->core, l->burst());
    benchmark::DoNotOptimize(t);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GrantFourWindows)->ThreadRange(1, 8)->UseRealTime();

void BM_GrantFourWindowsWithBurstBound(benchmark::State& state) {
  LimiterConfig c = windows(kHuge, kHuge, kHuge, kHuge);
  c.max_burst = 1;
  auto l = make(c);
  for (auto _ : state) {
    expect(state, try_acquire(*l->core, l->burst()), Take::granted);
    give_back_burst(l->burst());
  }
}
BENCHMARK(BM_GrantFourWindowsWithBurstBound);

// Refused at the first window: nothing is counted.
void BM_RefusedFirstWindow(benchmark::State& state) {
  LimiterConfig c = windows(1);
  c.sec_window = UINT64_MAX;  // one interval for ever
  auto l = make(c);
  expect(state, try_acquire(*l->core, l->burst()), Take::granted);
  for (auto _ : state) expect(state, try_acquire(*l->core, l->burst()), Take::refused);
}
BENCHMARK(BM_RefusedFirstWindow);

// Refused at the last of four windows: three increments are undone.
void BM_RefusedFourthWindow(benchmark::State& state) {
  LimiterConfig c = windows(kHuge, kHuge, kHuge, 1);
  c.day_window = uint64_t{1} << 20;  // one interval for ever
  auto l = make(c);
  expect(state, try_acquire(*l->core, l->burst()), Take::granted);
  for (auto _ : state) expect(state, try_acquire(*l->core, l->burst()), Take::refused);
}
BENCHMARK(BM_RefusedFourthWindow);

void BM_RemainingPerWindow(benchmark::State& state) {
  LimiterConfig c = windows(5, 100, 1000, 10000);
  c.max_burst = 4;
  auto l = make(c);
  for (auto _ : state) {
    Remaining r = remaining_per_window(*l->core, l->burst());
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_RemainingPerWindow);

void BM_TimeUntilNextWindowFull(benchmark::State& state) {
  LimiterConfig c = windows(kHuge, kHuge, 1, kHuge);
  c.hour_window = uint64_t{1} << 20;  // full for ever
  auto l = make(c);
  expect(state, try_acquire(*l->core, l->burst()), Take::granted);
  for (auto _ : state) {
    std::optional<Duration> d = time_until_next_window(*l->core);
    if (!d) state.SkipWithError("no full window");
    benchmark::DoNotOptimize(d);
  }
}
BENCHMARK(BM_TimeUntilNextWindowFull);

void BM_TimeUntilNextWindowNoneFull(benchmark::State& state) {
  auto l = make(windows(kHuge, kHuge, kHuge, kHuge));
  for (auto _ : state) {
    std::optional<Duration> d = time_until_next_window(*l->core);
    benchmark::DoNotOptimize(d);
  }
}
BENCHMARK(BM_TimeUntilNextWindowNoneFull);

}  // namespace

BENCHMARK_MAIN();
