#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "korvane/call_control.hpp"
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
// (for at most `patience`) until all of them have started.
int peak_concurrency(int tasks, std::chrono::milliseconds patience = std::chrono::seconds(5)) {
  std::atomic<int> running{0};
  std::atomic<int> peak{0};
  const auto deadline = std::chrono::steady_clock::now() + patience;
  parallel_for_each(static_cast<std::size_t>(tasks), [&](std::size_t) {
    const int now = ++running;
    for (int seen = peak; seen < now && !peak.compare_exchange_weak(seen, now);) {
    }
    while (peak < tasks && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    --running;
  });
  return peak;
}

const auto no_poll = [] {};

int pooled_peak(ThreadCount n_threads, int tasks,
                std::chrono::milliseconds patience = std::chrono::seconds(5)) {
  CallControl control;
  return run(n_threads, control, no_poll, [&] { return peak_concurrency(tasks, patience); });
}

// The pool is sized once, at its creation, so this runs in a fresh process.
// Five threads exceed the processor count of small machines, which the
// scheduler must be told to allow; the caller only waits, so all five are
// pool threads.
TEST(PoolDeathTest, EnvironmentSizesThePoolEvenBeyondTheProcessorCount) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("RAYON_NUM_THREADS", "5", 1);
        std::exit(thread_count() == 5 ? pooled_peak(std::nullopt, 5) : 100);
      },
      testing::ExitedWithCode(5), "");
}

class ThreadsPerCall : public testing::TestWithParam<int> {};

// A call's own arena runs exactly as many tasks at once as it was given
// threads, up to the processors available, while the caller waits.
TEST_P(ThreadsPerCall, RunsAsManyTasksAtOnceAsThreadsWereAsked) {
  const int k = GetParam();
  const int expected = std::min(k, static_cast<int>(available_parallelism()));
  EXPECT_EQ(pooled_peak(static_cast<std::size_t>(k), k + 1, std::chrono::seconds(1)), expected);
}

struct StartableCase {
  ThreadLimits limits;
  std::size_t expected;
};

class Startable : public testing::TestWithParam<StartableCase> {};

TEST_P(Startable, KeepsHalfOfWhatIsLeftAndAtLeastOneThread) {
  EXPECT_EQ(startable_threads(GetParam().limits), GetParam().expected);
}

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

INSTANTIATE_TEST_SUITE_P(Limits, Startable,
                         testing::Values(StartableCase{{std::nullopt, 68 * kMiB, std::nullopt},
                                                       kMaxThreads},
                                         StartableCase{{1024 * kMiB, 68 * kMiB, std::nullopt}, 7},
                                         StartableCase{{1024 * kMiB, 68 * kMiB, 10}, 5},
                                         StartableCase{{std::nullopt, 68 * kMiB, 1}, 1},
                                         StartableCase{{0, 68 * kMiB, 0}, 1}));

INSTANTIATE_TEST_SUITE_P(Counts, ThreadsPerCall, testing::Values(1, 2, 3, 6));

// A forest's trees share per-thread buffers; a state per block of indices
// would be made and freed again for nearly every tree.
TEST_P(ThreadsPerCall, MakeAtMostOneStatePerThread) {
  static std::atomic<int> made;
  struct Counted {
    Counted() { ++made; }
  };
  made = 0;
  CallControl control;
  const std::size_t k = static_cast<std::size_t>(GetParam());
  const auto results = run(k, control, no_poll, [] {
    return parallel_map_with<Counted>(500, [](std::size_t i, Counted&) { return i; });
  });
  EXPECT_EQ(results.size(), 500u);
  EXPECT_GE(made.load(), 1);
  // The scheduler may lend a one-thread arena a worker in a slot of its own.
  EXPECT_LE(made.load(), GetParam() + 1);
}

TEST(Run, ReturnsTheResultAndPassesOnTheWorksException) {
  CallControl control;
  EXPECT_EQ(
      run(2, control, no_poll, [] { return parallel_map(4, [](std::size_t i) { return i; }); }),
      (std::vector<std::size_t>{0, 1, 2, 3}));
  EXPECT_THROW(run(std::nullopt, control, no_poll,
                   [] {
                     parallel_for_each(100, [](std::size_t i) {
                       if (i == 42) fail("42");
                     });
                   }),
               InternalError);
  EXPECT_FALSE(control.stop_requested());
}

struct PollStop {};

// Work that only ends when asked to stop: the poll's exception reaches the
// caller after every task has seen the request and ended, and the pool then
// serves the next call.
TEST(Run, ThrowingPollStopsTheWorkAndIsRethrownAfterItEnded) {
  for (const ThreadCount n_threads : {ThreadCount{}, ThreadCount{1}, ThreadCount{3}}) {
    CallControl control;
    std::atomic<int> ended{0};
    int polls = 0;
    const auto poll = [&] {
      if (++polls == 3) throw PollStop{};
    };
    const auto endless = [&] {
      parallel_for_each(8, [&](std::size_t) {
        while (true) {
          try {
            control.check();
          } catch (const Cancelled&) {
            ++ended;
            throw;
          }
          std::this_thread::yield();
        }
      });
    };
    EXPECT_THROW(run(n_threads, control, poll, endless), PollStop);
    EXPECT_EQ(polls, 3);
    EXPECT_TRUE(control.stop_requested());
    EXPECT_GE(ended.load(), 1);
    EXPECT_EQ(pooled_peak(n_threads, 1), 1);
  }
}

// A forked child never touches the scheduler state it inherited, whether the
// parent was idle or in the middle of a call; its pooled calls run on the
// calling thread and give the same results. A hang is ended by an alarm.
int child_result_after_fork() {
  const pid_t child = fork();
  if (child == 0) {
    alarm(20);
    CallControl control;
    const auto squares = run(2, control, no_poll, [] {
      return parallel_map(1000, [](std::size_t i) { return i * i; });
    });
    const auto sum = run(std::nullopt, control, no_poll, [&] {
      std::size_t total = 0;
      for (const std::size_t s : squares) total += s;
      return total;
    });
    _exit(sum == 332833500 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

TEST(Fork, ChildRunsPooledWorkWhenForkedWhileIdle) {
  EXPECT_EQ(pooled_peak(2, 2), 2);
  EXPECT_EQ(child_result_after_fork(), 0);
}

TEST(Fork, ChildRunsPooledWorkWhenForkedDuringACall) {
  CallControl control;
  std::atomic<bool> inside{false};
  std::thread busy([&] {
    try {
      run(std::nullopt, control, no_poll, [&] {
        parallel_for_each(4, [&](std::size_t) {
          inside = true;
          while (!control.stop_requested()) std::this_thread::yield();
        });
      });
    } catch (...) {
    }
  });
  while (!inside) std::this_thread::yield();
  const int status = child_result_after_fork();
  control.request_stop();
  busy.join();
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace korvane::pool
