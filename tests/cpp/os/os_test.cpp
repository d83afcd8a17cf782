// The operating-system layer on the machine the tests run on (Linux): what
// the engine and the executor count on from it. The Windows source is
// exercised through the Python suite on the Windows wheel.
#include "os/os.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace ratevane::os {
namespace {

int64_t read(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

TEST(OsLayer, ClocksAreTheSystemsOwn) {
  // Each layer read lies between two direct reads of the same clock.
  for (auto [id, layer] : {std::pair{CLOCK_REALTIME, &wall_clock_ns},
                           std::pair{CLOCK_MONOTONIC, &monotonic_ns}}) {
    const int64_t before = read(id);
    const int64_t value = layer();
    const int64_t after = read(id);
    EXPECT_LE(before, value);
    EXPECT_LE(value, after);
  }
}

TEST(OsLayer, SleepLastsAtLeastWhatWasAsked) {
  for (int64_t ns : {int64_t{1}, int64_t{200'000}, int64_t{2'000'000}}) {
    const int64_t start = monotonic_ns();
    sleep_ns(ns);
    EXPECT_GE(monotonic_ns() - start, ns);
  }
}

TEST(OsLayer, SleepOfNothingReturns) {
  sleep_ns(0);
  sleep_ns(-5);
}

TEST(OsLayer, ProcessorCountIsTheOnlineCount) {
  EXPECT_GE(processor_count(), 1u);
  EXPECT_EQ(processor_count(), std::thread::hardware_concurrency());
}

TEST(OsLayer, EnvironmentIsReadAtTheCall) {
  const char* name = "RATEVANE_OS_LAYER_TEST_VARIABLE";
  unsetenv(name);
  EXPECT_FALSE(environment_variable(name).has_value());
  setenv(name, "three", 1);
  EXPECT_EQ(environment_variable(name), std::optional<std::string>("three"));
  setenv(name, "", 1);
  EXPECT_EQ(environment_variable(name), std::optional<std::string>(""));
  unsetenv(name);
  EXPECT_FALSE(environment_variable(name).has_value());
}

TEST(OsLayer, NamesAThread) {
  std::atomic<bool> named{false};
  std::atomic<bool> done{false};
  std::thread thread([&] {
    while (!named.load()) yield_processor();
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    EXPECT_STREQ(name, "ratevane-test");
    done = true;
  });
  name_thread(thread, "ratevane-test");
  named = true;
  thread.join();
  EXPECT_TRUE(done.load());
}

TEST(OsLayer, SpinPauseAndYieldReturn) {
  for (int i = 0; i < 100; ++i) {
    spin_pause();
    yield_processor();
  }
}

}  // namespace
}  // namespace ratevane::os
