#include "fenro/simd/cpu.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace fenro::simd {
namespace {

using T = Target;

TEST(SimdChoice, DefaultTakesTheWidestTestedTargetTheCpuRuns) {
  const std::vector<T> all = {T::kScalar, T::kAvx2, T::kAvx512};
  const std::vector<T> two = {T::kScalar, T::kAvx2};
  const std::vector<T> one = {T::kScalar};
  for (const char* unset : {static_cast<const char*>(nullptr), ""}) {
    EXPECT_EQ(choose_target(unset, all, kTestedTargets).target, T::kAvx512);
    EXPECT_EQ(choose_target(unset, two, kTestedTargets).target, T::kAvx2);
    EXPECT_EQ(choose_target(unset, one, kTestedTargets).target, T::kScalar);
    // A target the suites have not run on is never the default, even when the CPU has it.
    const TargetChoice c = choose_target(unset, all, two);
    EXPECT_EQ(c.target, T::kAvx2);
    EXPECT_EQ(c.error, "");
  }
}

TEST(SimdChoice, ANameCapsOrSelectsAndAnythingElseIsAnExactError) {
  const std::vector<T> all = {T::kScalar, T::kAvx2, T::kAvx512};
  const std::vector<T> two = {T::kScalar, T::kAvx2};
  const std::vector<T> one = {T::kScalar};
  EXPECT_EQ(choose_target("scalar", all, kTestedTargets).target, T::kScalar);
  EXPECT_EQ(choose_target("avx2", all, kTestedTargets).target, T::kAvx2);
  // Selecting opts in to a target outside the tested list.
  EXPECT_EQ(choose_target("avx512", all, two).target, T::kAvx512);
  EXPECT_EQ(choose_target("avx512", two, kTestedTargets).error,
            "FENRO_SIMD=\"avx512\" selects a SIMD target this CPU lacks (it runs: scalar, avx2)");
  EXPECT_EQ(choose_target("avx2", one, kTestedTargets).error,
            "FENRO_SIMD=\"avx2\" selects a SIMD target this CPU lacks (it runs: scalar)");
  const std::string unknown = " is not a SIMD target (expected scalar, avx2 or avx512)";
  const std::pair<const char*, const char*> bad[] = {
      {"AVX2", "\"AVX2\""},
      {"avx2 ", "\"avx2 \""},
      {"avx", "\"avx\""},
      {"1", "\"1\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\xff\x01z", "\"\\xff\\x01z\""},
      {"0123456789abcdefghijklmnopqrstuvwxyz", "\"0123456789abcdefghijklmnopqrstuv...\""}};
  for (const auto& [value, shown] : bad) {
    const TargetChoice c = choose_target(value, all, kTestedTargets);
    EXPECT_EQ(c.error, "FENRO_SIMD=" + std::string(shown) + unknown) << value;
  }
}

TEST(SimdChoice, ThisProcessDispatchesToATargetItRuns) {
  // The suites run under every FENRO_SIMD value (tests/run_simd_matrix.sh): the choice must be
  // the one asked for, and the kernel tests' targets must stop there.
  ASSERT_EQ(target_error(), "");
  const std::vector<T> runs = supported_targets();
  EXPECT_EQ(runs.front(), T::kScalar);
  if (const char* asked = std::getenv("FENRO_SIMD"); asked != nullptr && *asked != '\0') {
    EXPECT_EQ(target_name(best_target()), asked);
    EXPECT_EQ(best_target(), runs.back());
  } else {
    EXPECT_EQ(best_target(), choose_target(nullptr, runs, kTestedTargets).target);
  }
}

}  // namespace
}  // namespace fenro::simd
