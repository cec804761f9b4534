#include "fenro/aggregators/fedavg.h"

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

using Weights = std::span<const float>;

// One coordinate per update.
Result<Matrix> fedavg_of(const std::vector<float>& values,
                         std::optional<std::vector<float>> weights = std::nullopt) {
  testing::Updates u(values.size(), 1, 1);
  for (size_t k = 0; k < values.size(); ++k) u.at(k, 0, 0) = values[k];
  if (!weights) return fedavg(u.views, std::nullopt);
  return fedavg(u.views, std::span<const float>(*weights));
}
float value_of(const Result<Matrix>& r) {
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? r->data()[0] : NAN;
}

TEST(FedAvg, ChecksUpdatesThenWeightsInOrder) {
  EXPECT_ERROR_MSG(fedavg({}, std::nullopt), "Empty updates provided");
  testing::Updates u(3, 4, 6);
  const std::vector<float> bad_weights = {NAN, NAN};
  // Update 1's shape is examined before update 2's values, and updates before weights.
  u.views[1].cols = 5;
  u.at(2, 0, 0) = NAN;
  EXPECT_ERROR_MSG(fedavg(u.views, Weights(bad_weights)), "Dimension mismatch in updates");
  u.refresh();
  u.at(2, 0, 0) = 0.0f;
  u.at(0, 2, 5) = INFINITY;
  EXPECT_ERROR_MSG(fedavg(u.views, Weights(bad_weights)),
                   "Non-finite value inf in update 0 at [2, 5]");
  u.at(0, 2, 5) = 1.0f;
  // A wrong weight count is reported as a dimension mismatch, an empty list included.
  EXPECT_ERROR_MSG(fedavg(u.views, Weights(bad_weights)), "Dimension mismatch in updates");
  EXPECT_ERROR_MSG(fedavg(u.views, Weights()), "Dimension mismatch in updates");
  const std::vector<float> nan_at_1 = {1.0f, NAN, INFINITY};
  EXPECT_ERROR_MSG(fedavg(u.views, Weights(nan_at_1)), "Non-finite weight NaN at index 1");
  const std::vector<float> cancel = {1.0f, -0.5f, -0.5f};
  EXPECT_ERROR_MSG(fedavg(u.views, Weights(cancel)), "Insufficient quorum: need 1, got 0");
  const std::vector<float> zeros = {-0.0f, -0.0f, -0.0f};
  EXPECT_ERROR_MSG(fedavg(u.views, Weights(zeros)), "Insufficient quorum: need 1, got 0");
}

TEST(FedAvg, WorkedExamples) {
  // One update: unchanged except that -0.0 becomes +0.0 (the sum starts at +0.0).
  testing::Updates one = testing::random_updates(1, 2, 11, 3);
  one.at(0, 1, 4) = -0.0f;
  auto r = fedavg(one.views, std::nullopt);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(bits_of(r->at(1, 4)), bits_of(0.0f));
  one.at(0, 1, 4) = 0.0f;
  EXPECT_TRUE(BitsEqual(r->data(), one.data[0].data(), 22));
  // Weights 2 and 2 give the unweighted mean bit for bit.
  testing::Updates two = testing::random_updates(2, 5, 23, 4);
  const std::vector<float> w22 = {2.0f, 2.0f};
  auto a = fedavg(two.views, std::span<const float>(w22));
  auto b = fedavg(two.views, std::nullopt);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_TRUE(BitsEqual(a->data(), b->data(), a->size()));
  // Negative weights are accepted: (3a - b) / 2.
  EXPECT_EQ(value_of(fedavg_of({5.0f, 1.0f}, std::vector<float>{3.0f, -1.0f})), 7.0f);
}

TEST(FedAvg, OverflowingElementsAreRecomputedInDouble) {
  EXPECT_EQ(value_of(fedavg_of({3.0e38f, 3.0e38f})), 3.0e38f);
  EXPECT_EQ(value_of(fedavg_of({-FLT_MAX, -FLT_MAX, -FLT_MAX})), -FLT_MAX);
  // Products overflow: 3e38 * 2 in float32 is +inf.
  EXPECT_EQ(value_of(fedavg_of({3.0e38f, 3.0e38f}, std::vector<float>{2.0f, 2.0f})), 3.0e38f);
  // The float32 weight sum overflows: every element is computed with the double sum 6e38.
  const float expected = static_cast<float>((1.0 * 3.0e38 + 2.0 * 3.0e38) / 6.0e38);
  EXPECT_EQ(value_of(fedavg_of({1.0f, 2.0f}, std::vector<float>{3.0e38f, 3.0e38f})), expected);
  // The float32 sum is inf but the double sum is exactly zero: no quorum.
  const std::vector<float> cancelling = {3.0e38f, 3.0e38f, -3.0e38f, -3.0e38f};
  EXPECT_ERROR_MSG(fedavg_of({1, 2, 3, 4}, cancelling), "Insufficient quorum: need 1, got 0");
  // A true mean beyond the float32 range (only possible with negative weights) stays infinite.
  EXPECT_EQ(value_of(fedavg_of({FLT_MAX, -FLT_MAX}, std::vector<float>{1.0f, -0.5f})), INFINITY);
  // Finite float32 results are kept, with their float32 rounding.
  testing::Updates u(2, 1, 2);
  u.at(0, 0, 0) = 3.0e38f, u.at(1, 0, 0) = 3.0e38f;
  u.at(0, 0, 1) = 0.1f, u.at(1, 0, 1) = 0.7f;
  auto r = fedavg(u.views, std::nullopt);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->at(0, 0), 3.0e38f);
  EXPECT_EQ(bits_of(r->at(0, 1)), bits_of((0.1f + 0.7f) / 2.0f));
}

TEST(FedAvg, MeanUncheckedAddsInTheGivenOrder) {
  // 1e8 + 1 - 1e8 depends on the order in float32.
  testing::Updates u(3, 1, 1);
  u.at(0, 0, 0) = 1.0e8f, u.at(1, 0, 0) = 1.0f, u.at(2, 0, 0) = -1.0e8f;
  std::vector<UpdateView> order = {u.views[0], u.views[2], u.views[1]};
  EXPECT_EQ(mean_unchecked(u.views).data()[0], 0.0f);
  EXPECT_EQ(mean_unchecked(order).data()[0], 1.0f / 3.0f);
  testing::Updates big(2, 1, 1);
  big.at(0, 0, 0) = big.at(1, 0, 0) = -3.0e38f;
  EXPECT_EQ(mean_unchecked(big.views).data()[0], -3.0e38f);
}

struct Case {
  size_t n, rows, cols, stride;
};

TEST(FedAvg, MatchesReferenceOnEveryTargetAndPoolSize) {
  const std::vector<Case> cases = {{1, 3, 7, 7},      {2, 5, 19, 19},   {3, 1, 1031, 1031},
                                   {4, 7, 33, 40},    {9, 300, 11, 11}, {17, 3, 2500, 2509},
                                   {50, 40, 1, 3},    {6, 0, 5, 5}};
  uint32_t seed = 500;
  for (const Case& c : cases) {
    for (int mode = 0; mode < 4; ++mode) {  // hard values or not, weighted or not
      ++seed;
      testing::StridedUpdates u(c.n, c.rows, c.cols, c.stride, seed, mode % 2 == 1);
      std::vector<float> weights(c.n);
      std::mt19937 rng(seed);
      std::uniform_real_distribution<float> dist(-0.5f, 2.0f);
      for (float& w : weights) w = dist(rng);
      const bool weighted = mode >= 2;
      const auto expected = testing::ref_fedavg(u.views, weighted ? &weights : nullptr);
      SCOPED_TRACE(::testing::Message() << "n=" << c.n << " mode=" << mode);
      testing::for_each_target_and_pool([&](simd::Target t) {
        auto r = internal::fedavg_on(u.views,
                                     weighted ? std::optional<std::span<const float>>(weights)
                                              : std::nullopt,
                                     t);
        ASSERT_TRUE(r.ok());
        EXPECT_TRUE(BitsEqual(r->data(), expected.data(), expected.size()));
        if (!weighted) {
          const Matrix m = internal::mean_unchecked_on(u.views, t);
          EXPECT_TRUE(BitsEqual(m.data(), expected.data(), expected.size()));
        }
      });
    }
  }
  // Weights whose float32 sum overflows, on every target and pool size.
  testing::StridedUpdates u(4, 9, 130, 131, 77, true);
  const std::vector<float> weights = {3.0e38f, 1.5f, 3.0e38f, -2.0e38f};
  const auto expected = testing::ref_fedavg(u.views, &weights);
  testing::for_each_target_and_pool([&](simd::Target t) {
    auto r = internal::fedavg_on(u.views, std::span<const float>(weights), t);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(BitsEqual(r->data(), expected.data(), expected.size()));
  });
}

}  // namespace
}  // namespace fenro::aggregators
