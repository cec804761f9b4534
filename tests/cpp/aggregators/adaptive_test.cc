#include "fenro/aggregators/adaptive.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace fenro::aggregators {
namespace {

// The round's constants: scores below 0.4 are low, and 0.05 is the margin.
float trim(std::vector<float> scores, float base) {
  return compute_adaptive_trim(scores, 0.4f, 0.05f, base);
}

TEST(AdaptiveTrim, WidensByTheLowScoredShareClampedToBaseAnd049) {
  EXPECT_EQ(trim({0.1f, 0.3f, 0.9f, 0.9f}, 0.1f), 0.49f);
  EXPECT_EQ(trim(std::vector<float>(10, 0.9f), 0.2f), 0.2f);
  EXPECT_EQ(trim({0.39f, 0.41f}, 0.0f), 0.49f);
  std::vector<float> twenty(20, 0.8f);
  twenty[7] = 0.1f;
  EXPECT_EQ(trim(twenty, 0.05f), 0.05f + 1.0f / 20.0f);  // float arithmetic: 0.1 as computed
  // Exactly the threshold, and NaN, count as trusted.
  EXPECT_EQ(trim({0.4f, std::nanf(""), 0.9f, 0.9f}, 0.0f), 0.05f);
  std::vector<float> ten(10, 0.9f);
  ten[0] = 0.0f;
  EXPECT_EQ(trim(ten, 0.0f), 0.05f + 0.1f);
}

TEST(AdaptiveTrim, EmptyStoreAndUnclampableBaseReturnTheBase) {
  EXPECT_EQ(trim({}, 0.3f), 0.3f);
  EXPECT_EQ(trim({}, 0.7f), 0.7f);
  EXPECT_TRUE(std::isnan(trim({}, std::nanf(""))));
  // Base above 0.49 or NaN with scores present: no valid clamp, the base goes back unchanged so
  // the trimmed-mean kernel reports it.
  EXPECT_EQ(trim({0.1f, 0.9f}, 0.6f), 0.6f);
  EXPECT_EQ(trim({0.9f}, 0.5f), 0.5f);
  EXPECT_TRUE(std::isnan(trim({0.1f, 0.9f}, std::nanf(""))));
  EXPECT_EQ(trim({0.1f}, 0.49f), 0.49f);
}

}  // namespace
}  // namespace fenro::aggregators
