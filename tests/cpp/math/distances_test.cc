// Pairwise distances, list means and weighted sums: every SIMD target and pool size against
// sequential float64 references written from the definitions, on sizes that leave lane, group
// and chunk remainders, with duplicate updates and strided rows.
#include "fenro/math/distances.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "aggregators/kernel_reference.h"
#include "fenro/math/f64_kernels.h"
#include "fenro/math/means.h"
#include "test_util.h"

namespace fenro::math {
namespace {

using testing::bits64;

// n updates of rows x cols with rows `cols + 3` apart, values of mixed magnitudes; update 2
// (when n > 2) is an exact copy of update 0.
testing::StridedUpdates with_duplicate(size_t n, size_t rows, size_t cols) {
  std::mt19937 rng(static_cast<uint32_t>(n * 31 + cols));
  std::vector<float> first;
  size_t replay = 0;
  return testing::StridedUpdates(n, rows, cols, cols + 3, [&](size_t k, size_t) {
    if (k == 2) return first[replay++];
    const float x = std::uniform_real_distribution<float>(-2.0f, 2.0f)(rng) * (k % 3 == 1 ? 1e20f : 1.0f);
    if (k == 0) first.push_back(x);
    return x;
  });
}

TEST(PairwiseDistances, EverySumIsSequentialOnEveryTargetAndPool) {
  struct Case {
    size_t n, rows, cols;
  };
  for (Case c : {Case{1, 2, 3}, Case{3, 1, 1}, Case{9, 7, 131}, Case{17, 3, 700}, Case{5, 0, 4}}) {
    const testing::StridedUpdates u = with_duplicate(c.n, c.rows, c.cols);
    std::vector<std::vector<float>> flat;
    for (const UpdateView& v : u.views) flat.push_back(testing::row_major(v));
    SCOPED_TRACE(::testing::Message() << "n=" << c.n << " " << c.rows << "x" << c.cols);
    testing::for_each_target_and_pool([&](simd::Target t) {
      const std::vector<double> table = detail::pairwise_sq_distances_with(u.views, t);
      ASSERT_EQ(table.size(), c.n * c.n);
      for (size_t i = 0; i < c.n; ++i) {
        for (size_t j = 0; j < c.n; ++j) {
          double s = -0.0;
          for (size_t e = 0; e < flat[i].size(); ++e) {
            const double x = static_cast<double>(flat[i][e]) - static_cast<double>(flat[j][e]);
            s += x * x;
          }
          ASSERT_EQ(bits64(table[i * c.n + j]), bits64(s)) << i << "," << j;
        }
      }
      if (c.n > 2 && c.rows * c.cols > 0) {
        EXPECT_EQ(bits64(table[2]), bits64(0.0));  // the duplicate
      }
    });
  }
}

TEST(Nearest, RanksExactlyAsThePairwiseTableOnEveryTargetAndPool) {
  const std::vector<double> no_point;
  struct Case {
    const char* name;
    size_t n, rows, cols;
  };
  for (Case c : {Case{"random", 23, 7, 131}, Case{"mirror ties", 9, 1, 40}, Case{"all equal", 12, 3, 5},
                 Case{"near duplicates", 14, 4, 70},
                 Case{"one", 1, 2, 2}, Case{"empty", 4, 0, 3}}) {
    const std::string name = c.name;
    std::mt19937 rng(static_cast<uint32_t>(c.n));
    std::vector<float> base(c.rows * c.cols);
    for (float& x : base) x = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
    // Mirror ties: updates base + s * e_k with s = +-1 sit at one distance from base.
    const testing::StridedUpdates u(c.n, c.rows, c.cols, c.cols + 1, [&](size_t k, size_t col) {
      if (name == "all equal") return 0.25f;
      if (name == "mirror ties") return base[col] + (col == k % 4 ? (k % 2 ? 1.0f : -1.0f) : 0.0f);
      // Large values a few float32 steps apart: the distances lie far below the Gram table's
      // cancellation error, so only exact distances rank them.
      if (name == "near duplicates") {
        return 1e5f * base[col] + static_cast<float>((k * 7 + col * 13) % 5) * 0.0078125f;
      }
      return std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng) * (k % 5 == 0 ? 100.0f : 1.0f);
    });
    SCOPED_TRACE(name);
    const std::vector<double> table = detail::pairwise_sq_distances_with(u.views, simd::Target::kScalar);
    for (size_t k = 1; k <= c.n; k += std::max<size_t>(1, c.n / 5)) {
      std::vector<uint32_t> want;
      for (size_t i = 0; i < c.n; ++i) {
        std::vector<std::pair<double, uint32_t>> ranked;
        for (uint32_t j = 0; j < c.n; ++j) ranked.push_back({table[i * c.n + j], j});
        std::sort(ranked.begin(), ranked.end());
        std::vector<uint32_t> row;
        for (size_t r = 0; r < k; ++r) row.push_back(ranked[r].second);
        std::sort(row.begin(), row.end());
        want.insert(want.end(), row.begin(), row.end());
      }
      testing::for_each_target_and_pool([&](simd::Target t) {
        EXPECT_EQ(detail::nearest_with(u.views, k, t), want) << "k=" << k;
      });
    }
  }
  // Non-finite values give no ranking.
  const testing::StridedUpdates bad(3, 2, 2, 2, [](size_t k, size_t c) { return k == 1 && c == 1 ? NAN : 1.0f; });
  EXPECT_FALSE(nearest_f64(bad.views, 2).has_value());
}

TEST(ListMeans, SumInListOrderInFloat64OnEveryTargetAndPool) {
  const size_t n = 11, rows = 5, cols = 53;  // 265 elements: partial blocks and a strided run
  std::mt19937 rng(3);
  const testing::StridedUpdates u(n, rows, cols, cols + 1, [&](size_t, size_t) {
    return testing::hard_value(rng);
  });
  std::vector<std::vector<float>> flat;
  for (const UpdateView& v : u.views) flat.push_back(testing::row_major(v));
  // Lists of every length, out of order, one repeated (computed once, copied), members repeated.
  const std::vector<std::vector<uint32_t>> lists = {
      {3}, {10, 0, 4}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0}, {10, 0, 4}, {5, 5, 7, 7}, {9, 8}};
  std::vector<uint32_t> offsets{0}, members;
  for (const auto& l : lists) {
    members.insert(members.end(), l.begin(), l.end());
    offsets.push_back(static_cast<uint32_t>(members.size()));
  }
  testing::for_each_target_and_pool([&](simd::Target t) {
    UpdateStack out(lists.size(), rows, cols);
    EXPECT_TRUE(detail::average_lists_with(u.views, offsets, members, out, t));
    for (size_t r = 0; r < lists.size(); ++r) {
      for (size_t e = 0; e < rows * cols; ++e) {
        double s = -0.0;
        for (uint32_t k : lists[r]) s += static_cast<double>(flat[k][e]);
        const float want = static_cast<float>(s * (1.0 / static_cast<double>(lists[r].size())));
        ASSERT_EQ(testing::bits_of(out.update(r)[e]), testing::bits_of(want)) << r << " " << e;
      }
    }
  });
  // A NaN anywhere, even in an update no list names, is reported.
  const testing::StridedUpdates bad(n, rows, cols, cols + 1, [](size_t k, size_t c) {
    return k == 6 && c == 7 ? NAN : 1.0f;
  });
  const std::vector<uint32_t> one_offsets{0, 1}, one_member{0};
  UpdateStack out(1, rows, cols);
  EXPECT_FALSE(average_lists_f64(bad.views, one_offsets, one_member, out));
}

// average_lists_with on every target and pool against the list-order float64 sums from -0.0,
// times 1 / count, rounded to float32, bit for bit.
void expect_list_order_means(const testing::StridedUpdates& u, const std::vector<uint32_t>& offsets,
                             const std::vector<uint32_t>& members) {
  std::vector<std::vector<float>> flat;
  for (const UpdateView& v : u.views) flat.push_back(testing::row_major(v));
  const size_t outputs = offsets.size() - 1, rows = u.views[0].rows, cols = u.views[0].cols;
  testing::for_each_target_and_pool([&](simd::Target t) {
    UpdateStack out(outputs, rows, cols);
    EXPECT_TRUE(detail::average_lists_with(u.views, offsets, members, out, t));
    for (size_t r = 0; r < outputs; ++r) {
      for (size_t e = 0; e < rows * cols; ++e) {
        double s = -0.0;
        for (uint32_t i = offsets[r]; i < offsets[r + 1]; ++i) s += static_cast<double>(flat[members[i]][e]);
        const float want = static_cast<float>(s * (1.0 / static_cast<double>(offsets[r + 1] - offsets[r])));
        ASSERT_EQ(testing::bits_of(out.update(r)[e]), testing::bits_of(want)) << r << " " << e;
      }
    }
  });
}

TEST(ListMeans, LongListsFromTheTotalGiveTheListOrderBits) {
  // Lists of n - 2 distinct members take the total-minus-complement path wherever a block's
  // sums are exact. Columns: plain values, cancellations to +0.0, lists of -0.0 only, a spread of
  // magnitudes too wide for exact sums, all zeros.
  const size_t n = 13, rows = 3, cols = 100;  // 300 elements: a partial last block
  std::mt19937 rng(5);
  std::normal_distribution<float> normal;
  const testing::StridedUpdates u(n, rows, cols, cols + 3, [&](size_t k, size_t c) -> float {
    if (c == 5 || c == 70) return k == 0 ? 2.0f : (k == 1 ? -2.0f : 0.0f);  // some lists sum to 0
    if (c == 9) return k == 0 ? 3.0f : -0.0f;  // lists without update 0 sum to -0.0
    if (c == 20) return k == 4 ? 0x1p100f : (k == 9 ? 0x1p-120f : normal(rng));
    if (c >= 32 && c < 48) return 0.0f;
    return normal(rng);
  });
  std::vector<uint32_t> offsets{0}, members;
  for (uint32_t r = 0; r < n; ++r) {
    for (uint32_t k = 0; k < n; ++k)
      if (k != r && k != (r + 5) % n) members.push_back(k);
    std::shuffle(members.end() - static_cast<std::ptrdiff_t>(n - 2), members.end(), rng);
    offsets.push_back(static_cast<uint32_t>(members.size()));
  }
  expect_list_order_means(u, offsets, members);
}

TEST(ListMeans, ShortListsReadDenseUpdatesDirectlyWithTheSameBits) {
  // A partition into short lists (as bucketing makes), one list repeated, over dense updates
  // with hard values: the direct path.
  const size_t n = 7, rows = 3, cols = 37;  // 111 elements: whole blocks and a tail
  std::mt19937 rng(9);
  const testing::StridedUpdates u(n, rows, cols, cols, [&](size_t, size_t) { return testing::hard_value(rng); });
  const std::vector<uint32_t> offsets{0, 2, 4, 5, 7, 9}, members{3, 1, 0, 6, 2, 5, 4, 0, 6};
  expect_list_order_means(u, offsets, members);
  // An infinity in a block or in the tail is reported.
  for (size_t at : {size_t{20}, size_t{36}}) {
    const testing::StridedUpdates bad(n, rows, cols, cols, [&](size_t k, size_t c) {
      return k == 5 && c == at ? INFINITY : 1.0f;
    });
    testing::for_each_target_and_pool([&](simd::Target t) {
      UpdateStack out(offsets.size() - 1, rows, cols);
      EXPECT_FALSE(detail::average_lists_with(bad.views, offsets, members, out, t)) << at;
    });
  }
}

TEST(WeightedSums, AddCoefficientTimesDeviationInUpdateOrder) {
  const size_t n = 7, rows = 3, cols = 41;
  std::mt19937 rng(8);
  const testing::StridedUpdates u(n, rows, cols, cols + 2, 8u, false);
  std::vector<std::vector<float>> flat;
  for (const UpdateView& v : u.views) flat.push_back(testing::row_major(v));
  const std::vector<double> coeffs = {0.5, 0.0, 1e-3, 3.0, -2.0, 0.0, 1.0 / 3.0};
  std::vector<double> base(rows * cols);
  for (double& b : base) b = std::uniform_real_distribution<double>(-1, 1)(rng);
  for (const double* b : {static_cast<const double*>(nullptr), static_cast<const double*>(base.data())}) {
    testing::for_each_target_and_pool([&](simd::Target t) {
      std::vector<double> out(rows * cols, 99.0);
      detail::weighted_sum_with(u.views, coeffs, b, out.data(), t);
      for (size_t e = 0; e < rows * cols; ++e) {
        double s = 0.0;
        for (size_t k = 0; k < n; ++k) {
          if (coeffs[k] != 0.0) s += coeffs[k] * (static_cast<double>(flat[k][e]) - (b ? b[e] : 0.0));
        }
        ASSERT_EQ(bits64(out[e]), bits64(s)) << e;
      }
    });
  }
}

}  // namespace
}  // namespace fenro::math
