#include "fenro/aggregators/median.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

#include "fenro/aggregators/coordinate_kernels.h"
#include "kernel_reference.h"
#include "test_util.h"

namespace fenro::aggregators {
namespace {

using testing::bits_of;
using testing::BitsEqual;

// One coordinate per update: a 1 x 1 matrix each.
std::vector<float> median_of(const std::vector<float>& values) {
  testing::Updates u(values.size(), 1, 1);
  for (size_t k = 0; k < values.size(); ++k) u.at(k, 0, 0) = values[k];
  auto r = median(u.views);
  EXPECT_TRUE(r.ok());
  return {r->data()[0]};
}

TEST(Median, ChecksUpdatesInOrder) {
  EXPECT_ERROR_MSG(median({}), "Empty updates provided");
  testing::Updates u(3, 2, 4);
  u.at(0, 1, 3) = INFINITY;
  u.views[2].cols = 3;
  EXPECT_ERROR_MSG(median(u.views), "Non-finite value inf in update 0 at [1, 3]");
  u.at(0, 1, 3) = 0.0f;
  EXPECT_ERROR_MSG(median(u.views), "Dimension mismatch in updates");
}

TEST(Median, WorkedExamples) {
  EXPECT_EQ(median_of({3, -1, 7, 5})[0], 4.0f);
  EXPECT_EQ(median_of({1, 1000, 2})[0], 2.0f);
  EXPECT_EQ(median_of({2.5f, -7.0f})[0], -2.25f);
  // A single update comes back unchanged, -0.0 included.
  testing::Updates one = testing::random_updates(1, 3, 5, 7);
  one.at(0, 2, 4) = -0.0f;
  auto r = median(one.views);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(BitsEqual(r->data(), one.data[0].data(), 15));
}

TEST(Median, SignedZerosFollowClientOrder) {
  EXPECT_EQ(bits_of(median_of({-0.0f, 0.0f})[0]), bits_of(0.0f));
  EXPECT_EQ(bits_of(median_of({-0.0f, -0.0f})[0]), bits_of(-0.0f));
  // Zeros keep client order among themselves: the middle slot is client 1's zero.
  EXPECT_EQ(bits_of(median_of({0.0f, -0.0f, -0.0f})[0]), bits_of(-0.0f));
  EXPECT_EQ(bits_of(median_of({-0.0f, 0.0f, -0.0f})[0]), bits_of(0.0f));
  EXPECT_EQ(bits_of(median_of({-1.0f, 0.0f, -0.0f})[0]), bits_of(0.0f));
  EXPECT_EQ(bits_of(median_of({-0.0f, -1.0f, 0.0f})[0]), bits_of(-0.0f));
  EXPECT_EQ(bits_of(median_of({-1.0f, -0.0f, 0.0f, 5.0f})[0]), bits_of(0.0f));
  EXPECT_EQ(bits_of(median_of({5.0f, -0.0f, -1.0f, -0.0f})[0]), bits_of(-0.0f));
  // Halving the smallest subnormal rounds to a zero that keeps the sign of the sum.
  EXPECT_EQ(bits_of(median_of({-FLT_TRUE_MIN, 0.0f})[0]), bits_of(-0.0f));
  EXPECT_EQ(bits_of(median_of({FLT_TRUE_MIN, -0.0f})[0]), bits_of(0.0f));
}

TEST(Median, OverflowingMiddleSumIsRecomputedInDouble) {
  // The float32 sum 3e38 + 3e38 is +inf; the mean of the two lies between them.
  EXPECT_EQ(median_of({3.0e38f, 3.0e38f})[0], 3.0e38f);
  EXPECT_EQ(median_of({-FLT_MAX, -FLT_MAX, 5.0f, -FLT_MAX})[0], -FLT_MAX);
  const float expected = static_cast<float>((static_cast<double>(FLT_MAX) + 3.0e38) * 0.5);
  EXPECT_EQ(median_of({FLT_MAX, 1.0f, 3.0e38f, FLT_MAX})[0], expected);
  // Elements that do not overflow keep their float32 value.
  EXPECT_EQ(median_of({1.0e38f, 2.0e38f})[0], (1.0e38f + 2.0e38f) * 0.5f);
}

TEST(Median, EmptyShapesGiveEmptyResults) {
  testing::Updates u(4, 3, 0);
  auto r = median(u.views);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->rows(), 3u);
  EXPECT_EQ(r->cols(), 0u);
}

struct Case {
  size_t n, rows, cols, stride;
};

// Every target and pool size against the gather + stable_sort reference, on sizes that leave
// partial tiles, strided rows, and both the network and the sorting path (large n).
TEST(Median, MatchesReferenceOnEveryTargetAndPoolSize) {
  const std::vector<Case> cases = {
      {1, 3, 7, 7},   {2, 5, 19, 19},  {3, 1, 16, 16}, {4, 7, 33, 40},  {5, 2, 17, 17},
      {8, 9, 9, 12},  {10, 4, 50, 50}, {17, 3, 31, 31}, {31, 1, 100, 100}, {50, 6, 29, 35},
      {64, 2, 40, 40}, {65, 40, 1, 3}, {200, 2, 37, 37},
      {internal::kMaxNetworkInputs + 3, 2, 9, 11}};
  uint32_t seed = 1;
  for (const Case& c : cases) {
    for (bool hard : {false, true}) {
      testing::StridedUpdates u(c.n, c.rows, c.cols, c.stride, seed++, hard);
      const auto expected = testing::ref_median(u.views);
      SCOPED_TRACE(::testing::Message() << "n=" << c.n << " " << c.rows << "x" << c.cols);
      testing::for_each_target_and_pool([&](simd::Target t) {
        auto r = internal::median_on(u.views, t);
        ASSERT_TRUE(r.ok());
        EXPECT_TRUE(BitsEqual(r->data(), expected.data(), expected.size()));
      });
    }
  }
}

TEST(Median, ReadsRowsThroughNegativeStrides) {
  // Rows stored bottom-up: the view starts at the last row and steps backwards.
  testing::Updates base = testing::random_updates(6, 4, 21, 3);
  std::vector<std::vector<float>> flipped(6);
  std::vector<UpdateView> views;
  for (size_t k = 0; k < 6; ++k) {
    for (size_t r = 4; r-- > 0;)
      for (size_t c = 0; c < 21; ++c) flipped[k].push_back(base.at(k, r, c));
    views.push_back({flipped[k].data() + 3 * 21, 4, 21, -21});
  }
  const auto expected = testing::ref_median(base.views);
  testing::for_each_target_and_pool([&](simd::Target t) {
    auto r = internal::median_on(views, t);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(BitsEqual(r->data(), expected.data(), expected.size()));
  });
}

}  // namespace
}  // namespace fenro::aggregators
