// Nearest-neighbour mixing, bucketing, clipping and adaptive robust clipping against references
// written here from their definitions, bit for bit (each definition fixes every rounding), on
// every SIMD target and pool size; the generator's published values; hard inputs; exact
// messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "aggregators/kernel_reference.h"
#include "fenro/preaggregation/arc.h"
#include "fenro/preaggregation/bucketing.h"
#include "fenro/preaggregation/clip.h"
#include "fenro/preaggregation/nnm.h"
#include "test_util.h"

namespace fenro::preaggregation {
namespace {

using testing::bits_of;
using testing::BitsEqual;

std::vector<std::vector<float>> flat_of(std::span<const UpdateView> u) {
  std::vector<std::vector<float>> out;
  for (const UpdateView& v : u) out.push_back(testing::row_major(v));
  return out;
}

// float32 of the float64 sum of the listed updates, in list order from -0.0, times 1 / count.
std::vector<float> ref_mean(const std::vector<std::vector<float>>& x, const std::vector<size_t>& list) {
  std::vector<float> out(x[0].size());
  for (size_t t = 0; t < out.size(); ++t) {
    double s = -0.0;
    for (size_t k : list) s += static_cast<double>(x[k][t]);
    out[t] = static_cast<float>(s * (1.0 / static_cast<double>(list.size())));
  }
  return out;
}

// Updates with duplicates (3 copies update 0, 5 copies update 1) so that distances tie exactly.
testing::StridedUpdates make_updates(size_t n, size_t rows, size_t cols, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::vector<float>> seen(n);
  return testing::StridedUpdates(n, rows, cols, cols + 1, [&](size_t k, size_t) {
    const size_t source = k == 3 ? 0 : k == 5 ? 1 : k;
    const float x = source == k ? std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng)
                                : seen[source][seen[k].size()];
    seen[k].push_back(x);
    return x;
  });
}

TEST(Nnm, MixesTheNearestInAscendingOrderOnEveryTargetAndPool) {
  struct Case {
    size_t n, f, rows, cols;
  };
  for (Case c : {Case{9, 4, 3, 37}, Case{7, 0, 2, 5}, Case{12, 3, 5, 70}, Case{1, 0, 1, 3}}) {
    const auto u = make_updates(c.n, c.rows, c.cols, static_cast<uint32_t>(c.n + c.f));
    const auto x = flat_of(u.views);
    SCOPED_TRACE(::testing::Message() << "n=" << c.n << " f=" << c.f);
    std::vector<uint32_t> want_neighbours;
    std::vector<float> want;
    for (size_t i = 0; i < c.n; ++i) {
      std::vector<std::pair<double, size_t>> by_distance;
      for (size_t j = 0; j < c.n; ++j) {
        double s = -0.0;
        for (size_t t = 0; t < x[i].size(); ++t) {
          const double d = static_cast<double>(x[i][t]) - static_cast<double>(x[j][t]);
          s += d * d;
        }
        by_distance.push_back({s, j});
      }
      std::sort(by_distance.begin(), by_distance.end());  // ties: lower index first
      std::vector<size_t> list;
      for (size_t r = 0; r < c.n - c.f; ++r) list.push_back(by_distance[r].second);
      std::sort(list.begin(), list.end());
      for (size_t j : list) want_neighbours.push_back(static_cast<uint32_t>(j));
      const auto mean = ref_mean(x, list);
      want.insert(want.end(), mean.begin(), mean.end());
    }
    testing::for_each_target_and_pool([&](simd::Target t) {
      auto got = detail::nnm_with(u.views, c.f, t);
      ASSERT_TRUE(got.ok());
      EXPECT_EQ(got->neighbours, want_neighbours);
      ASSERT_EQ(got->mixed.count(), c.n);
      EXPECT_TRUE(BitsEqual(got->mixed.data(), want.data(), want.size()));
    });
  }
}

TEST(Bucketing, PermutesWithSplitmix64AndAveragesEachBucket) {
  // The generator's published first outputs for seed 0.
  uint64_t state = 0;
  EXPECT_EQ(splitmix64_next(state), 0xE220A8397B1DCDAFull);
  EXPECT_EQ(splitmix64_next(state), 0x6E789E6AA1B965F4ull);
  // Fisher-Yates from the last index down, written out again.
  for (uint64_t seed : {uint64_t{0}, uint64_t{42}, UINT64_MAX}) {
    std::vector<size_t> want(13);
    std::iota(want.begin(), want.end(), size_t{0});
    uint64_t s = seed;
    for (size_t i = 12; i >= 1; --i) std::swap(want[i], want[splitmix64_next(s) % (i + 1)]);
    EXPECT_EQ(bucketing_permutation(13, seed), want);
  }
  EXPECT_EQ(bucketing_permutation(1, 5), (std::vector<size_t>{0}));
  const auto u = make_updates(13, 4, 9, 2);
  const auto x = flat_of(u.views);
  for (uint64_t s : {uint64_t{1}, uint64_t{3}, uint64_t{5}, uint64_t{13}, UINT64_MAX}) {
    for (size_t threads : {1, 2, 3}) {
      parallel::reset_pool_for_testing(threads);
      auto got = bucketing(u.views, s, 7);
      ASSERT_TRUE(got.ok());
      const auto& perm = got->permutation;
      EXPECT_EQ(perm, bucketing_permutation(13, 7));
      const size_t size = static_cast<size_t>(std::min<uint64_t>(s, 13));
      ASSERT_EQ(got->buckets.count(), (13 + size - 1) / size);
      for (size_t b = 0; b < got->buckets.count(); ++b) {
        const std::vector<size_t> list(perm.begin() + b * size, perm.begin() + std::min(13ul, b * size + size));
        EXPECT_TRUE(BitsEqual(got->buckets.update(b), ref_mean(x, list).data(), 36)) << s << " " << b;
      }
    }
  }
}

TEST(Clipping, ClipAndArcScaleInFloat32ByFloat64Factors) {
  const auto u = make_updates(10, 3, 20, 9);
  const auto x = flat_of(u.views);
  std::vector<double> norms;
  for (const auto& v : x) {
    double s = -0.0;
    for (float e : v) s += static_cast<double>(e) * static_cast<double>(e);
    norms.push_back(std::sqrt(s));
  }
  const auto scaled = [&](const std::vector<double>& factors) {
    std::vector<float> out;
    for (size_t i = 0; i < x.size(); ++i)
      for (float e : x[i]) out.push_back(factors[i] == 1.0 ? e : e * static_cast<float>(factors[i]));
    return out;
  };
  const double c = norms[4];  // update 4 sits exactly on the bound and passes unchanged
  std::vector<double> clip_factors;
  for (double nrm : norms) clip_factors.push_back(nrm > c ? c / nrm : 1.0);
  auto clipped = clip(u.views, c);
  ASSERT_TRUE(clipped.ok());
  EXPECT_EQ(clipped->factors, clip_factors);
  EXPECT_EQ(clipped->norms, norms);
  EXPECT_TRUE(BitsEqual(clipped->clipped.data(), scaled(clip_factors).data(), 600));
  EXPECT_EQ(u.views[0].at(0, 0), x[0][0]);  // the input is untouched

  // k = floor(2 f (n - f) / n) exactly, for n = 10 and every valid f.
  const uint64_t ks[] = {0, 1, 3, 4, 4};
  for (uint64_t f = 0; f < 5; ++f) {
    auto got = arc(u.views, f);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(got->k, ks[f]);
    std::vector<size_t> order(10);
    std::iota(order.begin(), order.end(), size_t{0});
    // Updates 3 and 5 duplicate 0 and 1: equal norms, the lower index ranks first.
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return norms[a] > norms[b]; });
    const double threshold = norms[order[ks[f]]];
    std::vector<double> factors(10, 1.0);
    for (size_t r = 0; r < ks[f]; ++r)
      if (norms[order[r]] > threshold) factors[order[r]] = threshold / norms[order[r]];
    EXPECT_EQ(got->threshold, threshold);
    EXPECT_EQ(got->clipped_indices, std::vector<size_t>(order.begin(), order.begin() + ks[f]));
    EXPECT_EQ(got->factors, factors);
    EXPECT_TRUE(BitsEqual(got->clipped.data(), scaled(factors).data(), 600));
  }
}

TEST(Preaggregation, ChecksRunInOrderWithExactMessages) {
  testing::Updates u(6, 2, 2);
  u.at(4, 1, 1) = INFINITY;
  EXPECT_ERROR_MSG(nnm(u.views, 9), "Non-finite value inf in update 4 at [1, 1]");
  EXPECT_ERROR_MSG(nnm(u.views, 1), "Non-finite value inf in update 4 at [1, 1]");
  EXPECT_ERROR_MSG(bucketing(u.views, 0, 1), "Non-finite value inf in update 4 at [1, 1]");
  EXPECT_ERROR_MSG(bucketing(u.views, 2, 1), "Non-finite value inf in update 4 at [1, 1]");
  EXPECT_ERROR_MSG(clip(u.views, -1.0), "Non-finite value inf in update 4 at [1, 1]");
  EXPECT_ERROR_MSG(arc(u.views, 9), "Non-finite value inf in update 4 at [1, 1]");
  u.at(4, 1, 1) = 0;
  u.views[2].rows = 1;
  EXPECT_ERROR_MSG(nnm(u.views, 1), "Dimension mismatch in updates");
  EXPECT_ERROR_MSG(arc(u.views, 1), "Dimension mismatch in updates");
  EXPECT_ERROR_MSG(nnm({}, 0), "Empty updates provided");
  EXPECT_ERROR_MSG(bucketing({}, 1, 0), "Empty updates provided");
  u.refresh();
  EXPECT_ERROR_MSG(nnm(u.views, 3), "f = 3 is out of range: nnm needs 2f < n (n = 6)");
  EXPECT_ERROR_MSG(arc(u.views, UINT64_MAX),
                   "f = 18446744073709551615 is out of range: arc needs 2f < n (n = 6)");
  EXPECT_ERROR_MSG(bucketing(u.views, 0, 3), "s = 0 is out of range: bucketing needs s >= 1");
  EXPECT_ERROR_MSG(clip(u.views, 0.0), "c = 0 is out of range: clip needs a finite c > 0");
  EXPECT_ERROR_MSG(clip(u.views, HUGE_VAL), "c = inf is out of range: clip needs a finite c > 0");
  EXPECT_ERROR_MSG(clip(u.views, std::nan("")), "c = NaN is out of range: clip needs a finite c > 0");
}

}  // namespace
}  // namespace fenro::preaggregation
