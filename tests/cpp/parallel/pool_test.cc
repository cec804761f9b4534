#include "fenro/parallel/pool.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <tuple>
#include <vector>

namespace fenro::parallel {
namespace {

TEST(PoolSize, FollowsTheEnvironmentRules) {
  // {FENRO_NUM_THREADS, RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS, CPU count, pool size}: 0 or an
  // unknown CPU count reads as 1; a variable holding 0 means the default and the later ones are
  // then not read; sizes stop at 4 per CPU.
  const std::tuple<const char*, const char*, const char*, unsigned, size_t> cases[] = {
      {nullptr, nullptr, nullptr, 8, 8}, {nullptr, nullptr, nullptr, 0, 1},
      {nullptr, "3", nullptr, 8, 3},     {nullptr, "+3", "5", 8, 3},
      {nullptr, "007", nullptr, 8, 7},   {nullptr, "0", "5", 8, 8},
      {nullptr, nullptr, "+2", 8, 2},    {nullptr, nullptr, "0", 8, 8},
      {nullptr, nullptr, "x", 8, 8},     {"2", "3", "5", 8, 2},
      {"0", "3", "5", 8, 8},             {"x", "3", "5", 8, 3},
      {"", nullptr, "5", 8, 5},          {"32", nullptr, nullptr, 8, 32},
      {"33", nullptr, nullptr, 8, 32},   {nullptr, "100000", nullptr, 2, 8},
      {nullptr, nullptr, "100000", 0, 4}, {"18446744073709551615", nullptr, nullptr, 2, 8}};
  for (const auto& [f, a, b, cpus, want] : cases) {
    EXPECT_EQ(pool_size_from(f, a, b, cpus), want) << (f ? f : "-") << " " << (a ? a : "-")
                                                    << " " << (b ? b : "-") << " " << cpus;
  }
  // Not a number: the next variable decides.
  for (const char* bad : {"", "+", "-1", " 3", "3 ", "3x", "0x10", "99999999999999999999999"}) {
    EXPECT_EQ(pool_size_from(nullptr, bad, "5", 8), 5u) << bad;
    EXPECT_EQ(pool_size_from(nullptr, bad, nullptr, 8), 8u) << bad;
    EXPECT_EQ(pool_size_from(bad, nullptr, "5", 8), 5u) << bad;
  }
}

TEST(ParallelFor, WakesOnlyTheWorkersALoopHasChunksFor) {
  reset_pool_for_testing(8);
  for (size_t chunks : {size_t{1}, size_t{2}, size_t{3}, size_t{6}}) {
    const size_t before = worker_wakeups_for_testing();
    for (int rep = 0; rep < 100; ++rep) {
      std::atomic<size_t> sum{0};
      parallel_for(chunks, 1, [&](size_t b, size_t e) { sum += e - b; });
      ASSERT_EQ(sum, chunks);
    }
    // A few spurious wake-ups at most; waking every worker would be 7 per loop.
    EXPECT_LE(worker_wakeups_for_testing() - before, 100 * (chunks - 1) + 10) << chunks;
  }
}

uint64_t f(size_t i) { return static_cast<uint64_t>(i) * i + 7; }
std::vector<uint64_t> run_map(size_t n) { return parallel_map(n, f); }
std::vector<uint64_t> serial_map(size_t n) {
  std::vector<uint64_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = f(i);
  return v;
}

TEST(ParallelMap, ResultsDoNotDependOnThreadCount) {
  const std::vector<uint64_t> expected = serial_map(10007);
  for (size_t threads : {1, 2, 3, 5}) {
    reset_pool_for_testing(threads);
    EXPECT_EQ(thread_count(), threads);
    for (int rep = 0; rep < 20; ++rep) EXPECT_EQ(run_map(expected.size()), expected);
    EXPECT_TRUE(run_map(0).empty());
  }
}

TEST(ParallelFor, CoversEveryIndexOnceInGrainSizedChunks) {
  reset_pool_for_testing(3);
  for (size_t n : {1u, 2u, 7u, 64u, 1000u}) {
    for (size_t grain : {0u, 1u, 3u, 64u, 5000u}) {
      std::vector<std::atomic<int>> hits(n);
      parallel_for(n, grain, [&](size_t b, size_t e) {
        ASSERT_LT(b, e);
        if (grain > 1) {
          ASSERT_EQ(b % grain, 0u);
        }
        for (size_t i = b; i < e; ++i) hits[i]++;
      });
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << n << " " << grain;
    }
  }
}

TEST(ParallelFor, RethrowsOnTheCallerAndStaysUsable) {
  reset_pool_for_testing(3);
  EXPECT_THROW(parallel_for(1000, 1,
                            [](size_t b, size_t) {
                              if (b == 500) throw std::runtime_error("boom");
                            }),
               std::runtime_error);
  EXPECT_EQ(run_map(100).size(), 100u);
}

TEST(ParallelFor, NestedLoopsRunSeriallyInsideATask) {
  reset_pool_for_testing(2);
  std::vector<uint64_t> sums(8);
  parallel_for(8, 1, [&](size_t b, size_t e) {
    for (size_t i = b; i < e; ++i) {
      uint64_t s = 0;
      parallel_for(100, 1, [&](size_t bb, size_t ee) {
        for (size_t j = bb; j < ee; ++j) s += j;
      });
      sums[i] = s;
    }
  });
  for (uint64_t s : sums) EXPECT_EQ(s, 4950u);
}

TEST(Pool, CarriesOnWhenTheSystemRefusesThreads) {
  reset_pool_for_testing(100000, /*spawn_limit=*/2);
  EXPECT_EQ(thread_count(), 3u);
  EXPECT_EQ(run_map(1000), serial_map(1000));
  reset_pool_for_testing(2);
}

TEST(Pool, AForkedChildBuildsAFreshPool) {
  reset_pool_for_testing(3);
  ASSERT_EQ(run_map(1000).size(), 1000u);  // workers are running now
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The inherited pool has no threads here; a loop must neither hang nor crash.
    const auto v = run_map(5000);
    _exit(v.size() == 5000 && v[4999] == 4999ull * 4999 + 7 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace fenro::parallel
