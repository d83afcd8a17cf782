// Figures for the background executor: timer lateness, spawn latency, task
// throughput and idle CPU use. A plain program that prints a table; run it
// on an otherwise quiet machine, e.g.
//   meson setup build-bench -Dextension=false -Dbench=enabled
//   ninja -C build-bench bench/executor_bench && build-bench/bench/executor_bench
// Arguments pick sections: idle, spawn, throughput, timers (default: all).
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "executor/cancel_signal.hpp"
#include "executor/executor.hpp"
#include "executor/scheduler.hpp"

namespace {

using namespace ratevane::exec;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Summary {
  double median_us, p99_us, max_us;
};

Summary summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<std::size_t>(q * v.size()))]; };
  return {at(0.5), at(0.99), v.back()};
}

// Blocks the calling (non-worker) thread until `n` reaches `target`.
void wait_for(const std::atomic<long>& n, long target) {
  while (n.load(std::memory_order_acquire) < target) std::this_thread::sleep_for(50us);
}

void warm_up() {
  std::atomic<long> done{0};
  spawn(body_from([&](Context&) {
    done.fetch_add(1);
    return Poll::ready;
  }));
  wait_for(done, 1);
}

// A task that sleeps until its signal settles: it keeps one timer pending.
struct Background final : TaskBody {
  Sleep sleep{1h};
  CancelReceiver rx;
  explicit Background(CancelReceiver r) : rx(std::move(r)) {}
  Poll poll(Context& cx) override {
    if (sleep.poll(cx) == Poll::ready) return Poll::ready;
    return rx.poll(cx.waker()) == CancelReceiver::State::not_yet ? Poll::pending : Poll::ready;
  }
};

// Lateness samples: past the requested deadline, and past the instant of the
// deadline's whole-millisecond tick (the earliest moment the sleep may end).
struct Lateness {
  std::vector<double> past_deadline, past_tick;
};

// Sleeps `d` `rounds` times in a row, recording how late each one ends.
struct Prober final : TaskBody {
  std::chrono::nanoseconds d;
  int rounds;
  Lateness* out;
  std::atomic<long>* done;
  std::unique_ptr<Sleep> sleep;
  Prober(std::chrono::nanoseconds d_, int r, Lateness* o, std::atomic<long>* dn)
      : d(d_), rounds(r), out(o), done(dn) {}
  Poll poll(Context& cx) override {
    for (;;) {
      if (!sleep) sleep = std::make_unique<Sleep>(d);
      if (sleep->poll(cx) == Poll::pending) return Poll::pending;
      const auto now = Clock::now();
      auto& s = detail::scheduler_instance();
      const auto tick_at = s.origin() + std::chrono::milliseconds(s.tick_of(sleep->deadline()));
      out->past_deadline.push_back(us(now - sleep->deadline()));
      out->past_tick.push_back(us(now - tick_at));
      sleep.reset();
      if (--rounds == 0) {
        done->fetch_add(1, std::memory_order_release);
        return Poll::ready;
      }
    }
  }
};

// One probe task sleeps repeatedly while `sleepers - 1` other tasks keep
// hour-long timers pending: how the timer structure behaves when large.
Lateness probe_among(int sleepers, std::chrono::milliseconds d, int samples) {
  std::vector<CancelSender> stop;
  std::atomic<long> ignored{0};
  for (int i = 0; i < sleepers - 1; ++i) {
    auto [tx, rx] = make_cancel_signal();
    stop.push_back(std::move(tx));
    spawn(std::make_unique<Background>(std::move(rx)));
  }
  while (pending_timers() < static_cast<std::size_t>(sleepers - 1)) std::this_thread::sleep_for(1ms);
  Lateness l;
  std::atomic<long> done{0};
  spawn(std::make_unique<Prober>(d, samples, &l, &done));
  wait_for(done, 1);
  stop.clear();  // closing the signals ends the background tasks
  while (pending_timers() > 0) std::this_thread::sleep_for(1ms);
  (void)ignored;
  return l;
}

// All `sleepers` tasks sleep `d` at the same moment, `rounds` times: the
// whole batch expires together, so this measures draining the burst.
Lateness burst(int sleepers, std::chrono::milliseconds d, int rounds) {
  std::vector<Lateness> per_task(static_cast<std::size_t>(sleepers));
  std::atomic<long> done{0};
  for (int i = 0; i < sleepers; ++i) spawn(std::make_unique<Prober>(d, rounds, &per_task[i], &done));
  wait_for(done, sleepers);
  Lateness all;
  for (auto& t : per_task) {
    all.past_deadline.insert(all.past_deadline.end(), t.past_deadline.begin(), t.past_deadline.end());
    all.past_tick.insert(all.past_tick.end(), t.past_tick.begin(), t.past_tick.end());
  }
  return all;
}

void timer_table() {
  std::printf("\nTimer lateness (microseconds; median / p99)\n");
  std::printf("%-7s %-9s %-22s %-24s %-24s %s\n", "sleep", "sleepers", "mode", "past deadline",
              "past ms tick", "samples");
  for (int d_ms : {1, 10, 100}) {
    const auto d = std::chrono::milliseconds(d_ms);
    const int samples = d_ms == 1 ? 500 : d_ms == 10 ? 150 : 25;
    for (int sleepers : {1, 100, 10'000}) {
      const Lateness l = probe_among(sleepers, d, samples);
      const Summary a = summarise(l.past_deadline), b = summarise(l.past_tick);
      std::printf("%4d ms %-9d %-22s %9.1f / %-12.1f %9.1f / %-12.1f %zu\n", d_ms, sleepers,
                  "1 probe, rest pending", a.median_us, a.p99_us, b.median_us, b.p99_us,
                  l.past_tick.size());
    }
    for (int sleepers : {100, 10'000}) {
      const int rounds = sleepers == 100 ? 5 : 1;
      const Lateness l = burst(sleepers, d, rounds);
      const Summary a = summarise(l.past_deadline), b = summarise(l.past_tick);
      std::printf("%4d ms %-9d %-22s %9.1f / %-12.1f %9.1f / %-12.1f %zu\n", d_ms, sleepers,
                  "all expire together", a.median_us, a.p99_us, b.median_us, b.p99_us,
                  l.past_tick.size());
    }
  }
}

void spawn_latency() {
  constexpr int kSamples = 3000;
  // The spawning thread watches for the first run either by spinning on its
  // processor or by spinning with sched_yield. Linux may place the woken
  // worker on the spawner's processor; a spawner that never lets go of it
  // then delays the worker until the next scheduler tick, which is what a
  // host thread busy with other work does, and what a loop thread that goes
  // back to its selector does not.
  struct Case {
    const char* name;
    bool pause;
    bool yield;
    std::vector<double> samples;
  };
  Case cases[] = {
      {"workers parked, spawner yields:", true, true, {}},
      {"workers parked, spawner busy:  ", true, false, {}},
      {"back to back:                  ", false, false, {}},
  };
  for (Case& c : cases) {
    for (int i = 0; i < kSamples; ++i) {
      std::atomic<long> first_run{0};
      const auto t0 = Clock::now();
      spawn(body_from([&](Context&) {
        first_run.store((Clock::now() - t0).count() + 1, std::memory_order_release);
        return Poll::ready;
      }));
      long v;
      while ((v = first_run.load(std::memory_order_acquire)) == 0) {
        if (c.yield) sched_yield();
      }
      c.samples.push_back(static_cast<double>(v - 1) / 1e3);
      // With a pause the workers are parked again before the next spawn, so
      // the figure includes waking a sleeping thread.
      if (c.pause) std::this_thread::sleep_for(300us);
    }
  }
  std::printf("\nSpawn from a non-worker thread to first run (microseconds)\n");
  for (Case& c : cases) {
    const Summary s = summarise(c.samples);
    std::printf("  %s median %6.1f  p99 %7.1f\n", c.name, s.median_us, s.p99_us);
  }
}

void throughput() {
  std::printf("\nTrivial tasks (spawned, detached, run to their end)\n");
  for (int threads : {1, 4}) {
    constexpr long kTotal = 2'000'000;
    std::atomic<long> done{0};
    const long each = kTotal / threads;
    const auto t0 = Clock::now();
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; ++t) {
      ts.emplace_back([&] {
        for (long i = 0; i < each; ++i) {
          spawn(body_from([&done](Context&) {
            done.fetch_add(1, std::memory_order_relaxed);
            return Poll::ready;
          }));
        }
      });
    }
    for (auto& t : ts) t.join();
    wait_for(done, each * threads);
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("  from %d thread%s: %10.0f tasks/s\n", threads, threads == 1 ? " " : "s",
                static_cast<double>(each * threads) / secs);
  }
}

double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void idle_cpu() {
  std::printf("\nCPU time of the idle executor over one second (%zu workers)\n", worker_count());
  std::this_thread::sleep_for(100ms);
  double before = cpu_seconds();
  std::this_thread::sleep_for(1s);
  std::printf("  no timers:             %.2f ms\n", (cpu_seconds() - before) * 1e3);
  auto [tx, rx] = make_cancel_signal();
  spawn(std::make_unique<Background>(std::move(rx)));
  std::this_thread::sleep_for(100ms);
  before = cpu_seconds();
  std::this_thread::sleep_for(1s);
  std::printf("  one hour-long timer:   %.2f ms\n", (cpu_seconds() - before) * 1e3);
}

}  // namespace

// With no arguments every section runs; otherwise only those named
// (idle, spawn, throughput, timers).
int main(int argc, char** argv) {
  auto wanted = [&](const char* name) {
    if (argc < 2) return true;
    for (int i = 1; i < argc; ++i) {
      if (std::strcmp(argv[i], name) == 0) return true;
    }
    return false;
  };
  warm_up();
  std::printf("ratevane executor bench: %zu workers, %u processors\n", worker_count(),
              std::thread::hardware_concurrency());
  if (wanted("idle")) idle_cpu();
  if (wanted("spawn")) spawn_latency();
  if (wanted("throughput")) throughput();
  if (wanted("timers")) timer_table();
  return 0;
}
