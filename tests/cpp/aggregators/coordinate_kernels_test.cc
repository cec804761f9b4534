// Median, trimmed mean and FedAvg: check order and exact messages, worked examples that pin
// the bits (signed zeros, subnormals, overflow recomputed in double), and every SIMD target
// and pool size against the references in kernel_reference.h.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

#include "fenro/aggregators/coordinate_kernels.h"
#include "fenro/aggregators/fedavg.h"
#include "fenro/aggregators/median.h"
#include "fenro/aggregators/trimmed_mean.h"
#include "fenro/error/number_text.h"
#include "kernel_reference.h"
#include "test_util.h"

namespace fenro::aggregators {
namespace {

using testing::bits_of;
using testing::BitsEqual;
using Weights = std::span<const float>;

// One coordinate per update: a 1 x 1 matrix each.
testing::Updates column(const std::vector<float>& values) {
  testing::Updates u(values.size(), 1, 1);
  for (size_t k = 0; k < values.size(); ++k) u.at(k, 0, 0) = values[k];
  return u;
}
// The whole update validation owed: what the public functions pass their kernels.
update::Validation owed(std::span<const UpdateView> views) { return update::Validation::of(views); }
float only(const Result<Matrix>& r) {
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? r->data()[0] : NAN;
}

TEST(CoordinateKernels, ChecksRunInOrder) {
  EXPECT_ERROR_MSG(median({}), "Empty updates provided");
  EXPECT_ERROR_MSG(trimmed_mean({}, 0.9f), "Empty updates provided");
  EXPECT_ERROR_MSG(fedavg({}, std::nullopt), "Empty updates provided");
  // Update 0's values come before update 2's shape.
  testing::Updates u(5, 2, 4);
  u.at(0, 1, 3) = INFINITY;
  u.views[2].cols = 3;
  EXPECT_ERROR_MSG(median(u.views), "Non-finite value inf in update 0 at [1, 3]");
  u.at(0, 1, 3) = 0.0f;
  EXPECT_ERROR_MSG(median(u.views), "Dimension mismatch in updates");
  // Update checks come before the fraction, even an invalid one.
  u.refresh();
  u.at(1, 0, 2) = -INFINITY;
  EXPECT_ERROR_MSG(trimmed_mean(u.views, NAN), "Non-finite value -inf in update 1 at [0, 2]");
  u.at(1, 0, 2) = 0.0f;
  u.views[3].rows = 1;
  EXPECT_ERROR_MSG(trimmed_mean(u.views, 0.9f), "Dimension mismatch in updates");
  u.refresh();
  for (float t : {0.6f, -0.1f, NAN}) {
    EXPECT_ERROR_MSG(trimmed_mean(u.views, t),
                     "Invalid trim fraction: " + error::format_message_number(t) + " (must be 0.0-0.5)");
  }
  // 0.45 * 5 = 2.25 rounds up to k = 3: nothing would remain.
  for (float t : {0.5f, 0.45f})
    EXPECT_ERROR_MSG(trimmed_mean(u.views, t), "Insufficient quorum: need 1, got 0");
  EXPECT_TRUE(trimmed_mean(u.views, -0.0f).ok() && trimmed_mean(u.views, 0.4f).ok());
  // An empty shape still gets the fraction and quorum checks.
  testing::Updates empty(2, 0, 4);
  EXPECT_ERROR_MSG(trimmed_mean(empty.views, 0.7f), "Invalid trim fraction: 0.7 (must be 0.0-0.5)");
  EXPECT_ERROR_MSG(trimmed_mean(empty.views, 0.5f), "Insufficient quorum: need 1, got 0");
}

TEST(CoordinateKernels, FedAvgChecksUpdatesThenWeightsInOrder) {
  testing::Updates u(3, 4, 6);
  const std::vector<float> bad = {NAN, NAN};
  // Update 1's shape is examined before update 2's values, and updates before weights.
  u.views[1].cols = 5;
  u.at(2, 0, 0) = NAN;
  EXPECT_ERROR_MSG(fedavg(u.views, Weights(bad)), "Dimension mismatch in updates");
  u.refresh();
  u.at(2, 0, 0) = 0.0f;
  u.at(0, 2, 5) = INFINITY;
  EXPECT_ERROR_MSG(fedavg(u.views, Weights(bad)), "Non-finite value inf in update 0 at [2, 5]");
  u.at(0, 2, 5) = 1.0f;
  // A wrong weight count is reported as a dimension mismatch, an empty list included.
  EXPECT_ERROR_MSG(fedavg(u.views, Weights(bad)), "Dimension mismatch in updates");
  EXPECT_ERROR_MSG(fedavg(u.views, Weights()), "Dimension mismatch in updates");
  const std::vector<float> nan_at_1 = {1.0f, NAN, INFINITY}, cancel = {1.0f, -0.5f, -0.5f},
                           zeros = {-0.0f, -0.0f, -0.0f};
  EXPECT_ERROR_MSG(fedavg(u.views, Weights(nan_at_1)), "Non-finite weight NaN at index 1");
  EXPECT_ERROR_MSG(fedavg(u.views, Weights(cancel)), "Insufficient quorum: need 1, got 0");
  EXPECT_ERROR_MSG(fedavg(u.views, Weights(zeros)), "Insufficient quorum: need 1, got 0");
  // The values are checked after the mean: a NaN under a zero weight still comes first.
  testing::Updates wide(3, 5, 1000);
  wide.at(2, 4, 999) = INFINITY;
  wide.at(1, 0, 0) = NAN;
  const std::vector<float> zero_w1 = {1.0f, 0.0f, 1.0f};
  testing::for_each_target_and_pool([&](simd::Target t) {
    for (auto w : {std::optional<Weights>(zero_w1), std::optional<Weights>()}) {
      EXPECT_ERROR_MSG(detail::fedavg_with(wide.views, w, owed(wide.views), t),
                       "Non-finite value NaN in update 1 at [0, 0]");
    }
  });
  // The float32 weight sum is inf but the double sum is exactly zero: no quorum.
  const std::vector<float> big = {3.0e38f, 3.0e38f, -3.0e38f, -3.0e38f};
  EXPECT_ERROR_MSG(fedavg(column({1, 2, 3, 4}).views, Weights(big)),
                   "Insufficient quorum: need 1, got 0");
}

// The selection kernels check finiteness while they load their tiles; the error must still
// name the first bad element in update order, wherever the tiles and threads meet it: an
// earlier update's value late in the matrix beats a later update's value in the first tile.
TEST(CoordinateKernels, NonFiniteFoundWhileSelectingIsReportedInUpdateOrder) {
  for (size_t n : {5, 20}) {
    for (size_t stride : {100, 103}) {
      SCOPED_TRACE(::testing::Message() << "n=" << n << " stride=" << stride);
      testing::StridedUpdates u(n, 7, 100, stride, static_cast<uint32_t>(n + stride), false);
      u.data[n - 1][1] = NAN;
      u.data[3][6 * stride + 99] = -INFINITY;  // inside the last, partial tile
      const std::string want = "Non-finite value -inf in update 3 at [6, 99]";
      testing::for_each_target_and_pool([&](simd::Target t) {
        EXPECT_ERROR_MSG(detail::median_with(u.views, owed(u.views), t), want);
        EXPECT_ERROR_MSG(detail::trimmed_mean_with(u.views, 0.2f, owed(u.views), t), want);
        // Fraction and quorum errors still come after the update checks.
        EXPECT_ERROR_MSG(detail::trimmed_mean_with(u.views, 0.5f, owed(u.views), t), want);
      });
      u.data[3][6 * stride + 99] = 0.0f;  // now only the NaN, inside a full tile
      const std::string nan_want = "Non-finite value NaN in update " + std::to_string(n - 1) +
                                   " at [0, 1]";
      testing::for_each_target_and_pool([&](simd::Target t) {
        EXPECT_ERROR_MSG(detail::median_with(u.views, owed(u.views), t), nan_want);
      });
    }
  }
}

constexpr float kMedian = -1.0f;  // in place of a trim fraction: run the median

TEST(CoordinateKernels, MedianAndTrimmedMeanWorkedExamples) {
  const float wide_mid = static_cast<float>((static_cast<double>(FLT_MAX) + 3.0e38) * 0.5);
  const std::vector<float> pow2 = {512, 256, 128, 64, 32, 16, 8, 4, 2, 1};
  const struct {
    std::vector<float> v;
    float t, want;
  } rows[] = {
      {{3, -1, 7, 5}, kMedian, 4.0f},
      {{1, 1000, 2}, kMedian, 2.0f},
      {{2.5f, -7.0f}, kMedian, -2.25f},
      // Zeros keep client order among themselves.
      {{-0.0f, 0.0f}, kMedian, 0.0f},
      {{-0.0f, -0.0f}, kMedian, -0.0f},
      {{0.0f, -0.0f, -0.0f}, kMedian, -0.0f},
      {{-0.0f, 0.0f, -0.0f}, kMedian, 0.0f},
      {{-1.0f, 0.0f, -0.0f}, kMedian, 0.0f},
      {{-0.0f, -1.0f, 0.0f}, kMedian, -0.0f},
      {{-1.0f, -0.0f, 0.0f, 5.0f}, kMedian, 0.0f},
      {{5.0f, -0.0f, -1.0f, -0.0f}, kMedian, -0.0f},
      // Halving the smallest subnormal rounds to a zero that keeps the sign of the sum.
      {{-FLT_TRUE_MIN, 0.0f}, kMedian, -0.0f},
      {{FLT_TRUE_MIN, -0.0f}, kMedian, 0.0f},
      // The float32 middle sum overflows and is recomputed in double; otherwise it stands.
      {{3.0e38f, 3.0e38f}, kMedian, 3.0e38f},
      {{-FLT_MAX, -FLT_MAX, 5.0f, -FLT_MAX}, kMedian, -FLT_MAX},
      {{FLT_MAX, 1.0f, 3.0e38f, FLT_MAX}, kMedian, wide_mid},
      {{1.0e38f, 2.0e38f}, kMedian, (1.0e38f + 2.0e38f) * 0.5f},
      // k = ceil of the float32 product t * n: 1, 2, 3 here (a double product gives 2, 3, 4).
      {pow2, 0.1f, 510.0f / 8.0f},
      {pow2, 0.2f, 252.0f / 6.0f},
      {pow2, 0.3f, 120.0f / 4.0f},
      {{9, 1, 4, 16, 2}, 0.25f, 4.0f},  // 1.25 rounds up to 2: the median remains
      {{1, 100, 2, 3, -50}, 0.2f, 2.0f},
      // The result is -0.0 only when every kept value is -0.0 (kept slots in client order).
      {{-0.0f, -0.0f, -0.0f}, 0.0f, -0.0f},
      {{-0.0f, 0.0f, -0.0f}, 0.0f, 0.0f},
      {{7.0f, 0.0f, -0.0f, -0.0f}, 0.25f, -0.0f},
      {{7.0f, -0.0f, 0.0f, -0.0f}, 0.25f, 0.0f},
      {{-1.0f, -0.0f, -0.0f, 0.0f}, 0.25f, -0.0f},
      {{-1.0f, 1.0f}, 0.0f, 0.0f},
      {{0.0f, -FLT_TRUE_MIN, 0.0f}, 0.0f, -0.0f},  // a tiny negative sum divided down to zero
      {{3.0e38f, 3.0e38f, 3.0e38f}, 0.0f, 3.0e38f},
      {{3.0e38f, -3.0e38f, 3.0e38f, 3.0e38f}, 0.0f, 1.5e38f},  // ascending: 0, then overflow
      {{-FLT_MAX, -FLT_MAX, 1.0f, -FLT_MAX, -FLT_MAX}, 0.2f, -FLT_MAX},
      {{1.0e38f, 1.0e38f, 1.0e38f}, 0.0f, (1.0e38f + 1.0e38f + 1.0e38f) / 3.0f},
  };
  for (const auto& row : rows) {
    const testing::Updates u = column(row.v);
    const float got = only(row.t == kMedian ? median(u.views) : trimmed_mean(u.views, row.t));
    EXPECT_EQ(bits_of(got), bits_of(row.want))
        << ::testing::PrintToString(row.v) << " t=" << row.t << ": " << got;
  }
}

TEST(CoordinateKernels, FedAvgWorkedExamples) {
  const float wide_sum = static_cast<float>((1.0 * 3.0e38 + 2.0 * 3.0e38) / 6.0e38);
  const struct {
    std::vector<float> v, w;  // no weights: the plain mean
    float want;
  } rows[] = {
      {{5.0f, 1.0f}, {3.0f, -1.0f}, 7.0f},  // negative weights are accepted
      {{0.1f, 0.7f}, {}, (0.1f + 0.7f) / 2.0f},
      {{-0.0f}, {}, 0.0f},  // the sum starts at +0.0
      // Overflowing elements are recomputed in double; an overflowing weight sum sends every
      // element there; a true mean beyond the float32 range stays infinite.
      {{3.0e38f, 3.0e38f}, {}, 3.0e38f},
      {{-FLT_MAX, -FLT_MAX, -FLT_MAX}, {}, -FLT_MAX},
      {{3.0e38f, 3.0e38f}, {2.0f, 2.0f}, 3.0e38f},
      {{1.0f, 2.0f}, {3.0e38f, 3.0e38f}, wide_sum},
      {{FLT_MAX, -FLT_MAX}, {1.0f, -0.5f}, INFINITY},
  };
  for (const auto& row : rows) {
    const testing::Updates u = column(row.v);
    const float got = only(row.w.empty() ? fedavg(u.views, std::nullopt)
                                         : fedavg(u.views, Weights(row.w)));
    EXPECT_EQ(bits_of(got), bits_of(row.want)) << ::testing::PrintToString(row.v) << ": " << got;
  }
  // mean_unchecked adds in the given order: 1e8 + 1 - 1e8 depends on it in float32.
  testing::Updates u = column({1.0e8f, 1.0f, -1.0e8f});
  std::vector<UpdateView> order = {u.views[0], u.views[2], u.views[1]};
  EXPECT_EQ(mean_unchecked(u.views).data()[0], 0.0f);
  EXPECT_EQ(mean_unchecked(order).data()[0], 1.0f / 3.0f);
  EXPECT_EQ(mean_unchecked(column({-3.0e38f, -3.0e38f}).views).data()[0], -3.0e38f);
}

// Runs all three kernels (and mean_unchecked) on `views` for every target and pool size.
void expect_kernels_match_reference(std::span<const UpdateView> views, uint32_t seed) {
  const size_t n = views.size();
  const std::vector<float> med = testing::ref_median(views);
  std::vector<float> weights(n);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-0.5f, 2.0f);
  for (float& w : weights) w = dist(rng);
  const std::vector<float> mean = testing::ref_fedavg(views),
                           weighted = testing::ref_fedavg(views, &weights);
  testing::for_each_target_and_pool([&](simd::Target t) {
    const auto check = [&](const Result<Matrix>& r, const std::vector<float>& want) {
      ASSERT_TRUE(r.ok()) << r.error().message();
      EXPECT_EQ(r->rows(), views[0].rows);
      EXPECT_EQ(r->cols(), views[0].cols);
      EXPECT_TRUE(BitsEqual(r->data(), want.data(), want.size()));
    };
    check(detail::median_with(views, owed(views), t), med);
    check(detail::fedavg_with(views, std::nullopt, owed(views), t), mean);
    check(detail::fedavg_with(views, Weights(weights), owed(views), t), weighted);
    const Matrix m = detail::mean_unchecked_with(views, t);
    EXPECT_TRUE(BitsEqual(m.data(), mean.data(), mean.size()));
    for (float frac : {0.0f, 0.1f, 0.2f, 0.3f, 0.49f}) {
      const size_t k = static_cast<size_t>(std::ceil(frac * static_cast<float>(n)));
      if (n <= 2 * k) continue;
      SCOPED_TRACE(::testing::Message() << "t=" << frac);
      check(detail::trimmed_mean_with(views, frac, owed(views), t),
            testing::ref_trimmed_mean(views, k));
    }
  });
}

// Sizes that leave partial tiles, strided rows, long rows, empty shapes, every merge level of
// the network run whole in registers (up to n = 600) or comparator by comparator, and the
// sorting path (large n); plain and hard values.
TEST(CoordinateKernels, MatchReferenceOnEveryTargetAndPoolSize) {
  const struct {
    size_t n, rows, cols, stride;
  } cases[] = {{1, 3, 7, 7},       {2, 5, 19, 19},     {3, 1, 1031, 1031}, {4, 7, 33, 40},
               {5, 2, 17, 17},     {7, 7, 33, 40},     {8, 9, 9, 12},      {9, 300, 11, 11},
               {10, 4, 50, 50},    {16, 3, 31, 31},    {17, 3, 2500, 2509}, {31, 1, 100, 100},
               {33, 1, 100, 100},  {50, 6, 29, 35},    {64, 2, 40, 40},    {65, 40, 1, 3},
               {200, 2, 37, 37},   {600, 1, 70, 70},   {6, 0, 5, 5},       {4, 3, 0, 0},
               {detail::kMaxNetworkInputs + 3, 2, 9, 11},
               {detail::kMaxNetworkInputs + 4, 1, 5, 5}};
  uint32_t seed = 1;
  for (const auto& c : cases) {
    for (bool hard : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "n=" << c.n << " " << c.rows << "x" << c.cols
                                        << (hard ? " hard" : ""));
      testing::StridedUpdates u(c.n, c.rows, c.cols, c.stride, ++seed, hard);
      expect_kernels_match_reference(u.views, seed);
    }
  }
  // Rows stored bottom-up: each view starts at the last row and steps backwards.
  testing::StridedUpdates base(6, 4, 21, 21, 3, true);
  std::vector<UpdateView> flipped;
  for (const auto& d : base.data) flipped.push_back({d.data() + 3 * 21, 4, 21, -21});
  expect_kernels_match_reference(flipped, 4);
  // Weights whose float32 sum overflows.
  testing::StridedUpdates w(4, 9, 130, 131, 77, true);
  const std::vector<float> weights = {3.0e38f, 1.5f, 3.0e38f, -2.0e38f};
  const auto expected = testing::ref_fedavg(w.views, &weights);
  testing::for_each_target_and_pool([&](simd::Target t) {
    auto r = detail::fedavg_with(w.views, Weights(weights), owed(w.views), t);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(BitsEqual(r->data(), expected.data(), expected.size()));
  });
}

}  // namespace
}  // namespace fenro::aggregators
