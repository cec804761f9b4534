#include "fenro/math/running_sums.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "aggregators/kernel_reference.h"
#include "fenro/math/norms.h"
#include "fenro/math/running_sums_kernels.h"
#include "test_util.h"

namespace fenro::math {
namespace {

uint64_t bits64(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

// Values whose sequential sum depends on the order: the hard values of the kernel tests
// (huge, subnormal, signed zeros) interleaved with magnitudes spread over 2^-40 .. 2^40.
float order_sensitive(std::mt19937& rng) {
  if (rng() % 2) return testing::hard_value(rng);
  const float unit = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
  return std::ldexp(unit, static_cast<int>(rng() % 81) - 40);
}

// `pieces` ranges [cuts[i], cuts[i + 1]) covering [0, size); cuts may repeat (empty ranges)
// and fall anywhere inside a row.
std::vector<size_t> random_cuts(size_t size, size_t pieces, std::mt19937& rng) {
  std::vector<size_t> cuts = {0, size};
  for (size_t i = 1; i < pieces; ++i) cuts.push_back(size == 0 ? 0 : rng() % (size + 1));
  std::sort(cuts.begin(), cuts.end());
  return cuts;
}

// Chains the running sums of `updates` (distances from `reference` when given) over the ranges
// between consecutive cuts, then takes the square roots.
std::vector<double> chained(std::span<const UpdateView> updates, const UpdateView* reference,
                            const std::vector<size_t>& cuts, simd::Target target) {
  std::vector<double> running(updates.size(), kRunningSumStart);
  for (size_t i = 0; i + 1 < cuts.size(); ++i) {
    if (reference) {
      running_sums_kernels::continue_sums_of_squared_differences_with(
          updates, *reference, cuts[i], cuts[i + 1], running.data(), target);
    } else {
      running_sums_kernels::continue_sums_of_squares_with(updates, cuts[i], cuts[i + 1],
                                                          running.data(), target);
    }
  }
  for (double& s : running) s = std::sqrt(s);
  return running;
}

TEST(RunningSums, ChainOverAnySplitHasTheBitsOfTheWholeSum) {
  std::mt19937 rng(5);
  struct Shape {
    size_t rows, cols;
  };
  for (Shape s : {Shape{1, 1}, Shape{3, 7}, Shape{17, 33}, Shape{1, 61}, Shape{40, 1}, Shape{0, 5},
                  Shape{5, 0}}) {
    for (size_t n : {1, 4, 5, 9}) {
      const testing::StridedUpdates u(n, s.rows, s.cols, s.cols + 3,
                                      [&](size_t, size_t) { return order_sensitive(rng); });
      // A dense reference of the same shape, like an aggregate.
      std::vector<float> ref_data(std::max<size_t>(s.rows * s.cols, 1));
      for (float& x : ref_data) x = order_sensitive(rng);
      const UpdateView ref = UpdateView::dense(ref_data.data(), s.rows, s.cols);
      std::vector<double> norms(n), dists(n);
      l2_norms_f64(u.views, norms.data());
      l2_distances_f64(u.views, ref, dists.data());
      SCOPED_TRACE(::testing::Message() << "n=" << n << " " << s.rows << "x" << s.cols);
      testing::for_each_target_and_pool([&](simd::Target t) {
        for (size_t pieces = 1; pieces <= 7; ++pieces) {
          const std::vector<size_t> cuts = random_cuts(s.rows * s.cols, pieces, rng);
          const std::vector<double> cn = chained(u.views, nullptr, cuts, t);
          const std::vector<double> cd = chained(u.views, &ref, cuts, t);
          for (size_t k = 0; k < n; ++k) {
            EXPECT_EQ(bits64(cn[k]), bits64(norms[k])) << "update " << k << ", " << pieces;
            EXPECT_EQ(bits64(cd[k]), bits64(dists[k])) << "update " << k << ", " << pieces;
          }
        }
      });
    }
  }
}

// The way workers use it: each holds its coordinate range of every update (and of the
// aggregate) as a dense buffer of its own, and continues the value the previous holder sent.
TEST(RunningSums, ShardsInSeparateBuffersChainToTheWholeSum) {
  std::mt19937 rng(8);
  const size_t n = 6, rows = 9, cols = 13, size = rows * cols;
  const testing::StridedUpdates u(n, rows, cols, cols,
                                  [&](size_t, size_t) { return order_sensitive(rng); });
  const testing::StridedUpdates agg(1, rows, cols, cols,
                                    [&](size_t, size_t) { return order_sensitive(rng); });
  std::vector<double> norms(n), dists(n);
  l2_norms_f64(u.views, norms.data());
  l2_distances_f64(u.views, agg.views[0], dists.data());
  for (size_t pieces = 1; pieces <= 7; ++pieces) {
    const std::vector<size_t> cuts = random_cuts(size, pieces, rng);
    std::vector<double> sq(n, kRunningSumStart), diff(n, kRunningSumStart);
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
      const size_t lo = cuts[i], len = cuts[i + 1] - cuts[i];
      std::vector<std::vector<float>> shard(n);
      std::vector<UpdateView> views;
      for (size_t k = 0; k < n; ++k) {
        shard[k].assign(u.data[k].begin() + lo, u.data[k].begin() + lo + len);
        views.push_back(UpdateView::dense(shard[k].data(), 1, len));
      }
      std::vector<float> agg_shard(agg.data[0].begin() + lo, agg.data[0].begin() + lo + len);
      continue_sums_of_squares(views, 0, len, sq.data());
      continue_sums_of_squared_differences(views, UpdateView::dense(agg_shard.data(), 1, len), 0,
                                           len, diff.data());
    }
    for (size_t k = 0; k < n; ++k) {
      EXPECT_EQ(bits64(std::sqrt(sq[k])), bits64(norms[k])) << k << ", " << pieces;
      EXPECT_EQ(bits64(std::sqrt(diff[k])), bits64(dists[k])) << k << ", " << pieces;
    }
  }
}

// Groups mixing shapes, and a reference shaped differently from the updates (same element
// count), take the element-by-element walk; an empty range changes nothing, not even the sign
// of the starting zero.
TEST(RunningSums, MixedShapesWalkEachUpdateInItsOwnRowMajorOrder) {
  std::mt19937 rng(13);
  std::vector<std::vector<float>> data(5, std::vector<float>(24));
  for (auto& d : data)
    for (float& x : d) x = order_sensitive(rng);
  const std::vector<UpdateView> views = {
      UpdateView::dense(data[0].data(), 4, 6), UpdateView::dense(data[1].data(), 6, 4),
      UpdateView::dense(data[2].data(), 4, 6), UpdateView::dense(data[3].data(), 1, 24),
      UpdateView::dense(data[4].data(), 4, 6)};
  const UpdateView ref = UpdateView::dense(data[4].data(), 3, 8);
  std::vector<double> norms(5), dists(5);
  for (size_t k = 0; k < 5; ++k) {
    l2_norms_f64({&views[k], 1}, &norms[k]);
    dists[k] = l2_distance_f64(views[k], ref);
  }
  for (simd::Target t : simd::supported_targets()) {
    SCOPED_TRACE(simd::target_name(t));
    for (size_t pieces = 1; pieces <= 7; ++pieces) {
      const std::vector<size_t> cuts = random_cuts(24, pieces, rng);
      const std::vector<double> cn = chained(views, nullptr, cuts, t);
      const std::vector<double> cd = chained(views, &ref, cuts, t);
      for (size_t k = 0; k < 5; ++k) {
        EXPECT_EQ(bits64(cn[k]), bits64(norms[k])) << k;
        EXPECT_EQ(bits64(cd[k]), bits64(dists[k])) << k;
      }
    }
    std::vector<double> running(5, kRunningSumStart);
    running_sums_kernels::continue_sums_of_squared_differences_with(views, ref, 7, 7,
                                                                    running.data(), t);
    for (double s : running) EXPECT_EQ(bits64(s), bits64(-0.0));
  }
}

// Non-negative terms summed sequentially, in reverse, pairwise, and as shard sums added up: each
// reordered sum's bounds hold the sequential one and are no wider than promised. Among the
// inputs are sums dominated by one term, where the orders differ the most.
TEST(RunningSums, BoundsOfAReorderedSumHoldTheSequentialSum) {
  std::mt19937 rng(34);
  size_t differing = 0;
  for (size_t m : {2, 3, 17, 1000, 100000}) {
    for (int trial = 0; trial < 20; ++trial) {
      std::vector<double> t(m);
      for (double& x : t) {
        const double v = order_sensitive(rng);
        x = v * v;
      }
      if (trial % 4 == 0) t[rng() % m] = 1e30 * (1.0 + t[0]);  // one term dominates
      double seq = kRunningSumStart, rev = kRunningSumStart;
      for (double x : t) seq += x;
      for (size_t i = m; i-- > 0;) rev += t[i];
      std::vector<double> level = t;  // pairwise
      while (level.size() > 1) {
        std::vector<double> next;
        for (size_t i = 0; i + 1 < level.size(); i += 2) next.push_back(level[i] + level[i + 1]);
        if (level.size() % 2) next.push_back(level.back());
        level = next;
      }
      const std::vector<size_t> cuts = random_cuts(m, 1 + rng() % 7, rng);
      double shards = kRunningSumStart;
      for (size_t i = 0; i + 1 < cuts.size(); ++i) {
        double part = kRunningSumStart;
        for (size_t j = cuts[i]; j < cuts[i + 1]; ++j) part += t[j];
        shards += part;
      }
      for (double other : {rev, level[0], shards}) {
        const SumBounds b = bounds_of_reordered_sum(other, m);
        EXPECT_LE(b.lo, seq) << m;
        EXPECT_GE(b.hi, seq) << m;
        EXPECT_LE(b.hi - b.lo, (6.0 * static_cast<double>(m) + 4.0) * 0x1p-53 * other) << m;
        differing += other != seq;
      }
    }
  }
  EXPECT_GT(differing, 100u);  // the orders do differ, so the bounds are doing work

  // Where every order agrees, the bounds are the sum itself.
  const double inf = std::numeric_limits<double>::infinity();
  for (double same : {std::nan(""), inf, 0.0, -0.0, 7.5}) {
    const SumBounds b = bounds_of_reordered_sum(same, same == 7.5 ? 1 : 1000);
    EXPECT_EQ(bits64(b.lo), bits64(same));
    EXPECT_EQ(bits64(b.hi), bits64(same));
  }
  const SumBounds huge = bounds_of_reordered_sum(1.0, (uint64_t{1} << 43) + 1);
  EXPECT_EQ(huge.lo, 0.0);
  EXPECT_EQ(huge.hi, inf);
}

}  // namespace
}  // namespace fenro::math
