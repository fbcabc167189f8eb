#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "korvane/error.hpp"
#include "korvane/pool.hpp"

namespace korvane::pool {
namespace {

struct EnvironmentCase {
  const char* num_threads;
  const char* rs_num_cpus;
  std::size_t available;
  std::size_t expected;
};

void PrintTo(const EnvironmentCase& c, std::ostream* os) {
  for (const char* value : {c.num_threads, c.rs_num_cpus}) {
    *os << (value ? testing::PrintToString(std::string(value)) : "unset") << ", ";
  }
  *os << "available " << c.available;
}

class PoolSize : public testing::TestWithParam<EnvironmentCase> {};

TEST_P(PoolSize, TakesTheFirstPositiveIntegerThenTheAvailableCount) {
  const auto& c = GetParam();
  EXPECT_EQ(size_from_environment(c.num_threads, c.rs_num_cpus, c.available), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Environment, PoolSize,
    testing::Values(EnvironmentCase{nullptr, nullptr, 2, 2}, EnvironmentCase{"4", nullptr, 2, 4},
                    EnvironmentCase{"4", "3", 2, 4}, EnvironmentCase{"007", nullptr, 2, 7},
                    // Anything but a positive integer falls through to the next source.
                    EnvironmentCase{"0", "3", 2, 3}, EnvironmentCase{"000", nullptr, 2, 2},
                    EnvironmentCase{"-4", "3", 2, 3}, EnvironmentCase{"+4", nullptr, 2, 2},
                    EnvironmentCase{" 4", nullptr, 2, 2}, EnvironmentCase{"4\n", nullptr, 2, 2},
                    EnvironmentCase{"4x", nullptr, 2, 2}, EnvironmentCase{"", nullptr, 2, 2},
                    EnvironmentCase{"2.5", nullptr, 2, 2}, EnvironmentCase{"0", "0", 5, 5},
                    EnvironmentCase{nullptr, "abc", 5, 5},
                    // Every source is capped; a value beyond any integer type is still huge.
                    EnvironmentCase{"65536", nullptr, 2, 65535},
                    EnvironmentCase{"99999999999999999999999999", nullptr, 2, 65535},
                    EnvironmentCase{nullptr, "1000000", 2, 65535},
                    EnvironmentCase{nullptr, nullptr, 100000, 65535},
                    EnvironmentCase{nullptr, nullptr, 0, 1}));

struct QuotaCase {
  std::string quota;
  std::string period;
  std::optional<std::size_t> expected;
};

void PrintTo(const QuotaCase& c, std::ostream* os) { *os << c.quota << " / " << c.period; }

class CgroupQuota : public testing::TestWithParam<QuotaCase> {};

TEST_P(CgroupQuota, AllowsQuotaOverPeriodCpusAtLeastOne) {
  const auto& c = GetParam();
  EXPECT_EQ(cpus_from_cgroup_v2(c.quota + " " + c.period + "\n"), c.expected);
  EXPECT_EQ(cpus_from_cgroup_v1(c.quota + "\n", c.period + "\n"),
            c.quota == "max" ? std::nullopt : c.expected);
}

INSTANTIATE_TEST_SUITE_P(Quota, CgroupQuota,
                         testing::Values(QuotaCase{"200000", "100000", 2},
                                         QuotaCase{"250000", "100000", 2},
                                         QuotaCase{"50000", "100000", 1},
                                         QuotaCase{"max", "100000", std::nullopt},
                                         QuotaCase{"200000", "0", std::nullopt},
                                         QuotaCase{"abc", "100000", std::nullopt},
                                         QuotaCase{"200000", "", std::nullopt}));

TEST(CgroupQuota, UnlimitedOrMalformedFilesGiveNoLimit) {
  EXPECT_EQ(cpus_from_cgroup_v1("-1\n", "100000\n"), std::nullopt);
  EXPECT_EQ(cpus_from_cgroup_v2("max"), std::nullopt);
  EXPECT_EQ(cpus_from_cgroup_v2(""), std::nullopt);
  EXPECT_EQ(cpus_from_cgroup_v2("200000 100000 7"), std::nullopt);
}

TEST(AvailableParallelism, IsPositiveAndWithinTheAffinitySet) {
  cpu_set_t set;
  ASSERT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
  const std::size_t available = available_parallelism();
  EXPECT_GE(available, 1u);
  EXPECT_LE(available, static_cast<std::size_t>(CPU_COUNT(&set)));
}

TEST(Pool, ParallelMapPlacesResultsByIndex) {
  const auto results = parallel_map(10000, [](std::size_t i) { return std::to_string(i * i); });
  ASSERT_EQ(results.size(), 10000u);
  for (std::size_t i = 0; i < results.size(); ++i) ASSERT_EQ(results[i], std::to_string(i * i));
  EXPECT_TRUE(parallel_map(0, [](std::size_t i) { return i; }).empty());
}

TEST(Pool, ParallelForEachVisitsEveryIndexExactlyOnce) {
  std::vector<std::atomic<int>> visits(10000);
  parallel_for_each(visits.size(), [&](std::size_t i) { ++visits[i]; });
  for (std::size_t i = 0; i < visits.size(); ++i) ASSERT_EQ(visits[i].load(), 1) << i;
}

TEST(Pool, ExceptionInATaskReachesTheCallerAndThePoolStaysUsable) {
  try {
    parallel_for_each(1000, [](std::size_t i) {
      if (i == 637) fail("task 637 failed");
    });
    ADD_FAILURE() << "the exception was lost";
  } catch (const InternalError& error) {
    EXPECT_STREQ(error.what(), "task 637 failed");
  }
  EXPECT_EQ(parallel_map(3, [](std::size_t i) { return i + 1; }),
            (std::vector<std::size_t>{1, 2, 3}));
}

// Largest number of tasks seen running at once when `tasks` tasks each wait
// (for at most a few seconds) until all of them have started.
int peak_concurrency(int tasks) {
  std::atomic<int> running{0};
  std::atomic<int> peak{0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  parallel_for_each(static_cast<std::size_t>(tasks), [&](std::size_t) {
    const int now = ++running;
    for (int seen = peak; seen < now && !peak.compare_exchange_weak(seen, now);) {
    }
    while (peak < tasks && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    --running;
  });
  return peak;
}

// The pool is sized once, at its creation, so this runs in a fresh process.
// Five threads exceed the processor count of small machines, which the
// scheduler must be told to allow.
TEST(PoolDeathTest, EnvironmentSizesThePoolEvenBeyondTheProcessorCount) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("RAYON_NUM_THREADS", "5", 1);
        std::exit(thread_count() == 5 ? peak_concurrency(5) : 100);
      },
      testing::ExitedWithCode(5), "");
}

}  // namespace
}  // namespace korvane::pool
