#include "fenro/aggregators/trimmed_mean.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

#include "fenro/aggregators/coordinate_kernels.h"
#include "fenro/aggregators/median.h"
#include "kernel_reference.h"
#include "test_util.h"

namespace fenro::aggregators {
namespace {

using testing::bits_of;
using testing::BitsEqual;

float trimmed_of(const std::vector<float>& values, float t) {
  testing::Updates u(values.size(), 1, 1);
  for (size_t k = 0; k < values.size(); ++k) u.at(k, 0, 0) = values[k];
  auto r = trimmed_mean(u.views, t);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? r->data()[0] : NAN;
}

TEST(TrimmedMean, ChecksUpdatesThenFractionThenQuorum) {
  // Update checks come first, even with an invalid fraction.
  EXPECT_ERROR_MSG(trimmed_mean({}, 0.9f), "Empty updates provided");
  testing::Updates u(5, 2, 3);
  u.at(1, 0, 2) = -INFINITY;
  EXPECT_ERROR_MSG(trimmed_mean(u.views, NAN), "Non-finite value -inf in update 1 at [0, 2]");
  u.at(1, 0, 2) = 0.0f;
  u.views[3].rows = 1;
  EXPECT_ERROR_MSG(trimmed_mean(u.views, 0.9f), "Dimension mismatch in updates");
  u.refresh();
  EXPECT_ERROR_MSG(trimmed_mean(u.views, 0.6f), "Invalid trim fraction: 0.6 (must be 0.0-0.5)");
  EXPECT_ERROR_MSG(trimmed_mean(u.views, -0.1f), "Invalid trim fraction: -0.1 (must be 0.0-0.5)");
  EXPECT_ERROR_MSG(trimmed_mean(u.views, NAN), "Invalid trim fraction: NaN (must be 0.0-0.5)");
  EXPECT_ERROR_MSG(trimmed_mean(u.views, 0.5f), "Insufficient quorum: need 1, got 0");
  // 0.45 * 5 = 2.25 rounds up to k = 3: nothing would remain.
  EXPECT_ERROR_MSG(trimmed_mean(u.views, 0.45f), "Insufficient quorum: need 1, got 0");
  EXPECT_TRUE(trimmed_mean(u.views, -0.0f).ok());
  EXPECT_TRUE(trimmed_mean(u.views, 0.4f).ok());
  // An empty shape still gets the fraction and quorum checks.
  testing::Updates empty(2, 0, 4);
  EXPECT_ERROR_MSG(trimmed_mean(empty.views, 0.7f), "Invalid trim fraction: 0.7 (must be 0.0-0.5)");
  EXPECT_ERROR_MSG(trimmed_mean(empty.views, 0.5f), "Insufficient quorum: need 1, got 0");
  auto r = trimmed_mean(empty.views, 0.0f);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->rows(), 0u);
  EXPECT_EQ(r->cols(), 4u);
}

TEST(TrimmedMean, TrimCountRoundsTheFloat32ProductUp) {
  // Powers of two identify k from the result: k = 1, 2, 3 for t = 0.1, 0.2, 0.3 and n = 10
  // (a double product would give 2, 3, 4).
  std::vector<float> pow2;
  for (int i = 0; i < 10; ++i) pow2.push_back(std::ldexp(1.0f, 9 - i));  // client order scrambled
  EXPECT_EQ(trimmed_of(pow2, 0.1f), 510.0f / 8.0f);
  EXPECT_EQ(trimmed_of(pow2, 0.2f), 252.0f / 6.0f);
  EXPECT_EQ(trimmed_of(pow2, 0.3f), 120.0f / 4.0f);
  // 0.25 * 5 = 1.25 rounds up to 2: one value remains, the median.
  EXPECT_EQ(trimmed_of({9, 1, 4, 16, 2}, 0.25f), 4.0f);
  EXPECT_EQ(trimmed_of({1, 100, 2, 3, -50}, 0.2f), 2.0f);
}

TEST(TrimmedMean, WithOneKeptValueEqualsTheMedian) {
  testing::Updates u = testing::random_updates(5, 6, 13, 11);
  u.at(2, 1, 1) = -0.0f;
  auto a = trimmed_mean(u.views, 0.4f);
  auto b = median(u.views);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_TRUE(BitsEqual(a->data(), b->data(), a->size()));
  // t = 0 with one update: the update itself.
  testing::Updates one = testing::random_updates(1, 2, 9, 5);
  auto c = trimmed_mean(one.views, 0.0f);
  ASSERT_TRUE(c.ok());
  EXPECT_TRUE(BitsEqual(c->data(), one.data[0].data(), one.data[0].size()));
}

TEST(TrimmedMean, ZeroResultIsNegativeOnlyWhenEveryKeptValueIsNegativeZero) {
  EXPECT_EQ(bits_of(trimmed_of({-0.0f, -0.0f, -0.0f}, 0.0f)), bits_of(-0.0f));
  EXPECT_EQ(bits_of(trimmed_of({-0.0f, 0.0f, -0.0f}, 0.0f)), bits_of(0.0f));
  // Zeros keep client order: kept slots 1..2 hold the zeros of clients 2 and 3, while client
  // 1's zero is trimmed.
  EXPECT_EQ(bits_of(trimmed_of({7.0f, 0.0f, -0.0f, -0.0f}, 0.25f)), bits_of(-0.0f));
  EXPECT_EQ(bits_of(trimmed_of({7.0f, -0.0f, 0.0f, -0.0f}, 0.25f)), bits_of(0.0f));
  EXPECT_EQ(bits_of(trimmed_of({-1.0f, -0.0f, -0.0f, 0.0f}, 0.25f)), bits_of(-0.0f));
  EXPECT_EQ(bits_of(trimmed_of({-1.0f, 1.0f}, 0.0f)), bits_of(0.0f));
  // A tiny negative sum divided down to zero keeps its sign, although +0.0 values were kept.
  EXPECT_EQ(bits_of(trimmed_of({0.0f, -FLT_TRUE_MIN, 0.0f}, 0.0f)), bits_of(-0.0f));
}

TEST(TrimmedMean, OverflowingSumIsRecomputedInDouble) {
  EXPECT_EQ(trimmed_of({3.0e38f, 3.0e38f, 3.0e38f}, 0.0f), 3.0e38f);
  // Ascending: -3e38 + 3e38 = 0, then two more 3e38 overflow in float32.
  EXPECT_EQ(trimmed_of({3.0e38f, -3.0e38f, 3.0e38f, 3.0e38f}, 0.0f), 1.5e38f);
  EXPECT_EQ(trimmed_of({-FLT_MAX, -FLT_MAX, 1.0f, -FLT_MAX, -FLT_MAX}, 0.2f), -FLT_MAX);
  // Without overflow the float32 result stands.
  EXPECT_EQ(trimmed_of({1.0e38f, 1.0e38f, 1.0e38f}, 0.0f), (1.0e38f + 1.0e38f + 1.0e38f) / 3.0f);
}

struct Case {
  size_t n, rows, cols, stride;
};

TEST(TrimmedMean, MatchesReferenceOnEveryTargetAndPoolSize) {
  const std::vector<Case> cases = {
      {1, 3, 7, 7},    {2, 5, 19, 19},  {3, 1, 16, 16},  {5, 2, 17, 17},  {7, 7, 33, 40},
      {10, 4, 50, 50}, {16, 3, 31, 31}, {33, 1, 100, 100}, {50, 6, 29, 35}, {65, 40, 1, 3},
      {200, 2, 37, 37}, {internal::kMaxNetworkInputs + 5, 2, 9, 11}};
  uint32_t seed = 100;
  for (const Case& c : cases) {
    for (float t : {0.0f, 0.1f, 0.2f, 0.3f, 0.49f}) {
      const size_t k = static_cast<size_t>(std::ceil(t * static_cast<float>(c.n)));
      if (c.n <= 2 * k) continue;
      ++seed;
      testing::StridedUpdates u(c.n, c.rows, c.cols, c.stride, seed, /*hard=*/seed % 2 == 0);
      const auto expected = testing::ref_trimmed_mean(u.views, k);
      SCOPED_TRACE(::testing::Message() << "n=" << c.n << " t=" << t << " " << c.rows << "x"
                                        << c.cols);
      testing::for_each_target_and_pool([&](simd::Target target) {
        auto r = internal::trimmed_mean_on(u.views, t, target);
        ASSERT_TRUE(r.ok());
        EXPECT_TRUE(BitsEqual(r->data(), expected.data(), expected.size()));
      });
    }
  }
}

}  // namespace
}  // namespace fenro::aggregators
