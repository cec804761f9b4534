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

namespace fenro::math {
namespace {

uint64_t bits64(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

// Values whose sequential sum depends on the order: the kernel tests' hard values (huge,
// subnormal, signed zeros) among magnitudes spread over 2^-40 .. 2^40.
float order_sensitive(std::mt19937& rng) {
  if (rng() % 2) return testing::hard_value(rng);
  const float unit = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
  return std::ldexp(unit, static_cast<int>(rng() % 81) - 40);
}

// Cuts 0 = c0 <= c1 <= ... = size into `pieces` ranges, anywhere inside rows, some empty.
std::vector<size_t> random_cuts(size_t size, size_t pieces, std::mt19937& rng) {
  std::vector<size_t> cuts = {0, size};
  for (size_t i = 1; i < pieces; ++i) cuts.push_back(rng() % (size + 1));
  std::sort(cuts.begin(), cuts.end());
  return cuts;
}

// Chained over 1..7 random splits, the running sums have the bits of l2_norms_f64 and
// l2_distances_f64, on every target and pool size: in place on strided views (a group mixing
// shapes and a reference of another shape take the element walk), and the way a worker holds
// its range, as dense buffers of its own continuing the value the previous holder sent.
TEST(RunningSums, ChainOverAnySplitHasTheBitsOfTheWholeSum) {
  std::mt19937 rng(5);
  const std::pair<size_t, size_t> shapes[] = {{1, 1}, {3, 7}, {17, 33}, {40, 1}, {0, 5}, {5, 0}};
  for (auto [rows, cols] : shapes) {
    const size_t n = 6, size = rows * cols;
    const testing::StridedUpdates u(n, rows, cols, cols + 3,
                                    [&](size_t, size_t) { return order_sensitive(rng); });
    std::vector<std::vector<float>> flat;
    for (const UpdateView& v : u.views) flat.push_back(testing::row_major(v));
    std::vector<UpdateView> views = u.views;
    views[4] = UpdateView::dense(flat[4].data(), cols, rows);  // same elements, other shape
    // The reference, like an aggregate: dense, and for the element walk in another shape.
    const UpdateView ref = UpdateView::dense(flat[5].data(), rows, cols);
    const UpdateView ref_other = UpdateView::dense(flat[5].data(), size, 1);
    std::vector<double> norms(n), dists(n);
    l2_norms_f64(views, norms.data());
    l2_distances_f64(views, ref, dists.data());
    SCOPED_TRACE(::testing::Message() << rows << "x" << cols);
    testing::for_each_target_and_pool([&](simd::Target t) {
      for (size_t pieces = 1; pieces <= 7; ++pieces) {
        const std::vector<size_t> cuts = random_cuts(size, pieces, rng);
        std::vector<double> sq(n, kRunningSumStart), diff(sq), diff_other(sq), held(sq);
        for (size_t i = 0; i + 1 < cuts.size(); ++i) {
          const size_t lo = cuts[i], hi = cuts[i + 1];
          detail::continue_sums_of_squares_with(views, lo, hi, sq.data(), t);
          detail::continue_sums_of_squared_differences_with(views, ref, lo, hi,
                                                                          diff.data(), t);
          detail::continue_sums_of_squared_differences_with(
              views, ref_other, lo, hi, diff_other.data(), t);
          std::vector<std::vector<float>> shard(n);
          std::vector<UpdateView> shard_views;
          for (size_t k = 0; k < n; ++k) {
            shard[k].assign(flat[k].begin() + lo, flat[k].begin() + hi);
            shard_views.push_back(UpdateView::dense(shard[k].data(), 1, hi - lo));
          }
          detail::continue_sums_of_squared_differences_with(
              shard_views, UpdateView::dense(shard[5].data(), 1, hi - lo), 0, hi - lo,
              held.data(), t);
        }
        for (size_t k = 0; k < n; ++k) {
          EXPECT_EQ(bits64(std::sqrt(sq[k])), bits64(norms[k])) << k << ", " << pieces;
          EXPECT_EQ(bits64(std::sqrt(diff[k])), bits64(dists[k])) << k << ", " << pieces;
          EXPECT_EQ(bits64(std::sqrt(diff_other[k])), bits64(dists[k])) << k << ", " << pieces;
          EXPECT_EQ(bits64(std::sqrt(held[k])), bits64(dists[k])) << k << ", " << pieces;
        }
      }
    });
  }
}

// Non-negative terms summed in reverse, pairwise, and as shard sums added up: each reordered
// sum's bounds hold the sequential sum and are no wider than promised, also where one term
// dominates and the orders differ the most.
TEST(RunningSums, BoundsOfAReorderedSumHoldTheSequentialSum) {
  std::mt19937 rng(34);
  size_t differing = 0;
  for (size_t m : {2, 3, 17, 1000, 100000}) {
    for (int trial = 0; trial < 20; ++trial) {
      std::vector<double> t(m);
      for (double& x : t) x = std::pow(static_cast<double>(order_sensitive(rng)), 2);
      if (trial % 4 == 0) t[rng() % m] = 1e30 * (1.0 + t[0]);
      double seq = kRunningSumStart, rev = kRunningSumStart, shards = kRunningSumStart;
      for (double x : t) seq += x;
      for (size_t i = m; i-- > 0;) rev += t[i];
      std::vector<double> level = t;
      while (level.size() > 1) {
        std::vector<double> next;
        for (size_t i = 0; i + 1 < level.size(); i += 2) next.push_back(level[i] + level[i + 1]);
        if (level.size() % 2) next.push_back(level.back());
        level = next;
      }
      const std::vector<size_t> cuts = random_cuts(m, 1 + rng() % 7, rng);
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
