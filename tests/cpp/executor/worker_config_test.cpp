#include "executor/worker_config.hpp"

#include <gtest/gtest.h>

#include <string>

#include "executor/executor_error.hpp"

namespace ratevane::exec::detail {
namespace {

TEST(WorkerConfig, AcceptsPositiveDecimalIntegers) {
  EXPECT_EQ(parse_positive_count("1"), 1u);
  EXPECT_EQ(parse_positive_count("2"), 2u);
  EXPECT_EQ(parse_positive_count("064"), 64u);
}

TEST(WorkerConfig, RejectsEverythingElse) {
  for (const char* bad : {"", "0", "00", "-1", "+2", " 2", "2 ", "2x", "x2", "abc", "1.5", "0x10",
                          "99999999999999999999999999"}) {
    EXPECT_FALSE(parse_positive_count(bad).has_value()) << '"' << bad << '"';
  }
}

TEST(WorkerConfig, ProcessorCountWithoutOverride) {
  EXPECT_EQ(decide_worker_count(nullptr, 8), 8u);
  EXPECT_EQ(decide_worker_count(nullptr, 0), 1u);
}

TEST(WorkerConfig, OverrideWins) {
  EXPECT_EQ(decide_worker_count("2", 8), 2u);
  EXPECT_EQ(decide_worker_count("16", 1), 16u);
}

TEST(WorkerConfig, BadOverrideNamesTheVariableAndTheValue) {
  for (const char* bad : {"0", "-3", "2x", "", "many"}) {
    try {
      decide_worker_count(bad, 4);
      ADD_FAILURE() << "accepted \"" << bad << '"';
    } catch (const ExecutorError& e) {
      const std::string what = e.what();
      EXPECT_NE(what.find("building the executor failed"), std::string::npos) << what;
      EXPECT_NE(what.find(kWorkerThreadsVar), std::string::npos) << what;
      EXPECT_NE(what.find(std::string("\"") + bad + "\""), std::string::npos) << what;
    }
  }
}

}  // namespace
}  // namespace ratevane::exec::detail
