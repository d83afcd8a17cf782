// Building a limiter from its ten constructor parameters: the checks run in
// a fixed order, and a good configuration gives windows in the order second,
// minute, hour, day with the right lengths.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "engine/config.hpp"
#include "fake_clock.hpp"

namespace ratevane {
namespace {

using testing::FakeWallClock;

constexpr uint64_t kU64Max = UINT64_MAX;

struct RejectCase {
  const char* label;
  LimiterConfig config;
  const char* message;
};

void PrintTo(const RejectCase& c, std::ostream* os) { *os << c.label; }

class ConfigRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(ConfigRejects, WithTheFirstFailingCheckMessage) {
  const RejectCase& c = GetParam();
  FakeWallClock clock;
  Expected<LimiterContents> built = build_limiter(c.config, clock);
  ASSERT_FALSE(built.has_value());
  EXPECT_EQ(built.error().type, ErrorType::value_error);
  EXPECT_EQ(built.error().message, c.message);
  EXPECT_EQ(clock.reads(), 0u) << "construction must not read the clock";
}

// The counts are checked window by window (each window's multiplier right
// after its count), then "at least one window", then max_burst.
INSTANTIATE_TEST_SUITE_P(
    Order, ConfigRejects,
    ::testing::Values(
        RejectCase{"nothing", {}, "At least one rate limit must be specified"},
        RejectCase{"only_a_multiplier", {.sec_window = 5},
                   "At least one rate limit must be specified"},
        RejectCase{"all_multipliers_no_count",
                   {.sec_window = 1, .min_window = 0, .hour_window = 2, .day_window = kU64Max},
                   "At least one rate limit must be specified"},
        RejectCase{"minute_zero", {.min = 0}, "Rate limit for minute must be greater than 0"},
        RejectCase{"hour_zero", {.hour = 0}, "Rate limit for hour must be greater than 0"},
        RejectCase{"second_zero", {.sec = 0}, "Rate limit for second must be greater than 0"},
        RejectCase{"day_zero_after_good_ones", {.sec = 1, .min = 1, .hour = 1, .day = 0},
                   "Rate limit for day must be greater than 0"},
        RejectCase{"earliest_zero_count_reported", {.sec = 0, .day = 0},
                   "Rate limit for second must be greater than 0"},
        RejectCase{"count_before_max_burst", {.sec = 0, .max_burst = 0},
                   "Rate limit for second must be greater than 0"},
        RejectCase{"no_count_before_max_burst", {.max_burst = 0},
                   "At least one rate limit must be specified"},
        RejectCase{"max_burst_zero", {.sec = 5, .max_burst = 0}, "max_burst must be greater than 0"},
        RejectCase{"max_burst_zero_nonblocking", {.day = 1, .blocking = false, .max_burst = 0},
                   "max_burst must be greater than 0"},
        // A zero or oversized multiplier is rejected right after its count.
        RejectCase{"sec_window_zero", {.sec = 1, .sec_window = 0},
                   "sec_window must be greater than 0"},
        RejectCase{"min_window_zero", {.min = 1, .min_window = 0},
                   "min_window must be greater than 0"},
        RejectCase{"hour_window_zero", {.hour = 1, .hour_window = 0},
                   "hour_window must be greater than 0"},
        RejectCase{"day_window_zero", {.day = 1, .day_window = 0},
                   "day_window must be greater than 0"},
        RejectCase{"count_zero_before_its_multiplier", {.sec = 0, .sec_window = 0},
                   "Rate limit for second must be greater than 0"},
        RejectCase{"multiplier_before_later_count", {.sec = 1, .min = 0, .sec_window = 0},
                   "sec_window must be greater than 0"},
        RejectCase{"earlier_count_before_later_multiplier", {.min = 0, .day = 1, .day_window = 0},
                   "Rate limit for minute must be greater than 0"},
        RejectCase{"multiplier_before_max_burst", {.hour = 3, .hour_window = 0, .max_burst = 0},
                   "hour_window must be greater than 0"},
        RejectCase{"day_window_one_past_fit", {.day = 1, .day_window = kU64Max / 86400 + 1},
                   "day_window is too large"},
        RejectCase{"day_window_2_pow_50", {.day = 1, .day_window = uint64_t{1} << 50},
                   "day_window is too large"},
        RejectCase{"hour_window_one_past_fit", {.hour = 1, .hour_window = kU64Max / 3600 + 1},
                   "hour_window is too large"},
        RejectCase{"min_window_max", {.min = 1, .min_window = kU64Max}, "min_window is too large"},
        RejectCase{"too_large_before_later_count",
                   {.sec = 1, .min = 1, .hour = 0, .min_window = kU64Max},
                   "min_window is too large"},
        RejectCase{"too_large_before_max_burst",
                   {.day = 2, .day_window = kU64Max, .max_burst = 0},
                   "day_window is too large"}),
    [](const ::testing::TestParamInfo<RejectCase>& info) { return std::string(info.param.label); });

struct Window {
  std::string name;
  uint64_t limit;
  uint64_t seconds;
  friend bool operator==(const Window&, const Window&) = default;
};

void PrintTo(const Window& w, std::ostream* os) {
  *os << "{" << w.name << ", " << w.limit << ", " << w.seconds << "s}";
}

struct AcceptCase {
  const char* label;
  LimiterConfig config;
  std::vector<Window> windows;
};

void PrintTo(const AcceptCase& c, std::ostream* os) { *os << c.label; }

class ConfigAccepts : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(ConfigAccepts, BuildsWindowsInOrderWithTheirLengths) {
  const AcceptCase& c = GetParam();
  FakeWallClock clock;
  Expected<LimiterContents> built = build_limiter(c.config, clock);
  ASSERT_TRUE(built.has_value()) << built.error().message;
  const LimiterContents& contents = built.value();

  std::vector<Window> windows;
  for (std::size_t i = 0; i < contents.core->size(); ++i) {
    const WindowLimit& w = contents.core->window(i);
    windows.push_back({w.name, w.limit, w.window_seconds});
    EXPECT_EQ(w.count.load(), 0u);
    EXPECT_EQ(w.window_start.load(), kNotStarted);
  }
  EXPECT_EQ(windows, c.windows);

  EXPECT_EQ(contents.max_burst, c.config.max_burst);
  EXPECT_EQ(contents.blocking, c.config.blocking);
  ASSERT_NE(contents.in_flight, nullptr);
  ASSERT_NE(contents.interrupted, nullptr);
  EXPECT_EQ(contents.in_flight->load(), 0u);
  EXPECT_FALSE(contents.interrupted->load());
  EXPECT_FALSE(contents.core->poisoned());
  EXPECT_EQ(&contents.core->clock(), &clock);
  EXPECT_EQ(clock.reads(), 0u) << "construction must not read the clock";
}

INSTANTIATE_TEST_SUITE_P(
    Windows, ConfigAccepts,
    ::testing::Values(
        AcceptCase{"hour_times_two", {.hour = 10, .hour_window = 2}, {{"hour", 10, 7200}}},
        AcceptCase{"second_multiplier_is_the_length", {.sec = 3, .sec_window = 10},
                   {{"second", 3, 10}}},
        AcceptCase{"order_is_fixed", {.sec = 3, .min = 2, .day = 1},
                   {{"second", 3, 1}, {"minute", 2, 60}, {"day", 1, 86400}}},
        AcceptCase{"all_four_with_multipliers",
                   {.sec = 1, .min = 2, .hour = 3, .day = 4, .sec_window = 5, .min_window = 6,
                    .hour_window = 7, .day_window = 8},
                   {{"second", 1, 5}, {"minute", 2, 360}, {"hour", 3, 25200},
                    {"day", 4, 691200}}},
        AcceptCase{"multiplier_without_count_ignored",
                   {.min = 1, .sec_window = 0, .hour_window = kU64Max},
                   {{"minute", 1, 60}}},
        AcceptCase{"largest_limit", {.sec = kU64Max}, {{"second", kU64Max, 1}}},
        AcceptCase{"largest_second_multiplier", {.sec = 1, .sec_window = kU64Max},
                   {{"second", 1, kU64Max}}},
        AcceptCase{"largest_day_multiplier_that_fits", {.day = 1, .day_window = kU64Max / 86400},
                   {{"day", 1, kU64Max / 86400 * 86400}}},
        AcceptCase{"day_times_2_pow_40", {.day = 7, .day_window = uint64_t{1} << 40},
                   {{"day", 7, uint64_t{86400} << 40}}},
        AcceptCase{"nonblocking_with_burst", {.sec = 2, .blocking = false, .max_burst = 1},
                   {{"second", 2, 1}}},
        AcceptCase{"no_burst_bound", {.hour = 1, .max_burst = std::nullopt}, {{"hour", 1, 3600}}}),
    [](const ::testing::TestParamInfo<AcceptCase>& info) { return std::string(info.param.label); });

TEST(Config, EachLimiterGetsItsOwnSharedState) {
  FakeWallClock clock;
  Expected<LimiterContents> a = build_limiter({.sec = 1, .max_burst = 1}, clock);
  Expected<LimiterContents> b = build_limiter({.sec = 1, .max_burst = 1}, clock);
  ASSERT_TRUE(a && b);
  EXPECT_NE(a->core, b->core);
  EXPECT_NE(a->in_flight, b->in_flight);
  EXPECT_NE(a->interrupted, b->interrupted);
  EXPECT_EQ(a->burst().in_flight, a->in_flight.get());
  EXPECT_EQ(a->burst().max_burst, std::optional<uint64_t>(1));
}

}  // namespace
}  // namespace ratevane
