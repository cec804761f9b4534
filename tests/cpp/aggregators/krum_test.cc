#include "fenro/aggregators/krum.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "fenro/aggregators/krum_kernels.h"
#include "fenro/parallel/pool.h"

namespace fenro::aggregators {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
using Scores = std::vector<std::pair<size_t, int64_t>>;

Bfp16Vec vec(std::vector<int16_t> m, int e) {
  Bfp16Vec v;
  v.mantissas.assign(m.begin(), m.end());
  v.exponent = static_cast<int8_t>(e);
  return v;
}

// n encodings of `len` values of 1-d points: update i is all `value[i]` (exponent 0).
std::vector<Bfp16Vec> points(const std::vector<int16_t>& value, size_t len = 4) {
  std::vector<Bfp16Vec> out;
  for (int16_t x : value) out.push_back(vec(std::vector<int16_t>(len, x), 0));
  return out;
}

TEST(Bfp16Distance, AlignsToTheSmallerExponent) {
  // (0.5, 0.25) at 2^-16 against (2, 1) at 2^-14: b is shifted by 2 bits.
  Bfp16Vec a = vec({32767, 16384}, -16), b = vec({32767, 16384}, -14);
  const int64_t d0 = 32767 - 4 * 32767, d1 = 16384 - 4 * 16384;
  EXPECT_EQ(detail::bfp16_distance(a, b), d0 * d0 + d1 * d1);
  EXPECT_EQ(detail::bfp16_distance(b, a), d0 * d0 + d1 * d1);
  EXPECT_EQ(detail::bfp16_distance(a, a), 0);
  // Gap 15 is aligned, gap 16 is MAX (whichever side is larger).
  Bfp16Vec c = vec({1, -1}, 15), z = vec({1, -1}, 0), y = vec({1, -1}, -1);
  const int64_t e0 = (int64_t{1} << 15) - 1, e1 = -(int64_t{1} << 15) + 1;
  EXPECT_EQ(detail::bfp16_distance(c, z), e0 * e0 + e1 * e1);
  EXPECT_EQ(detail::bfp16_distance(c, y), kMax);
  EXPECT_EQ(detail::bfp16_distance(y, c), kMax);
  // Lengths differ: MAX; both empty: 0 whatever the exponents.
  EXPECT_EQ(detail::bfp16_distance(vec({1}, 0), vec({1, 1}, 0)), kMax);
  EXPECT_EQ(detail::bfp16_distance(vec({}, 3), vec({}, -40)), 0);
}

TEST(Bfp16Distance, SaturatesAtInt64Max) {
  // The largest term, (32767 * 2^15 + 32767)^2 = (2^30 - 1)^2, is just below 2^60: eight of
  // them still fit (2^63 - 2^34 + 8), nine pass 2^63 - 1.
  const int64_t t = int64_t{32767} * 32768 + 32767;
  Bfp16Vec a8 = vec(std::vector<int16_t>(8, 32767), 15),
           b8 = vec(std::vector<int16_t>(8, -32767), 0);
  EXPECT_EQ(detail::bfp16_distance(a8, b8), 8 * t * t);
  Bfp16Vec a9 = vec(std::vector<int16_t>(9, 32767), 15),
           b9 = vec(std::vector<int16_t>(9, -32767), 0);
  EXPECT_EQ(detail::bfp16_distance(a9, b9), kMax);
  EXPECT_EQ(detail::bfp16_distance(b9, a9), kMax);
  // The Gram arrangement reaches the same values through 128-bit intermediates.
  for (simd::Target tg : simd::supported_targets()) {
    const std::vector<Bfp16Vec> e8 = {a8, b8}, e9 = {a9, b9};
    EXPECT_EQ(detail::scores_with(e8, 1, tg, detail::kDefaultTableCap),
              (Scores{{0, 8 * t * t}, {1, 8 * t * t}}));
    EXPECT_EQ(detail::scores_with(e9, 1, tg, detail::kDefaultTableCap),
              (Scores{{0, kMax}, {1, kMax}}));
  }
}

// Random encodings whose exponents spread over 0..20 (gaps below and above 16, equal ones,
// pairs that saturate) and whose mantissas include long runs of +-32767, which overflow a
// 32-bit lane after two multiply-adds.
std::vector<Bfp16Vec> random_encodings(size_t n, size_t len, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> mant(-32767, 32767);
  std::vector<Bfp16Vec> out(n);
  for (size_t i = 0; i < n; ++i) {
    out[i].exponent = static_cast<int8_t>(rng() % 4 == 0 ? rng() % 21 : rng() % 3);
    out[i].mantissas.resize(len);
    const int mode = static_cast<int>(rng() % 4);
    for (size_t t = 0; t < len; ++t) {
      int m = mant(rng);
      if (mode == 1) m = (t % 7 == 0) ? -32767 : 32767;
      if (mode == 2) m = (i % 2 == 0) ? 32767 : -32767;
      if (mode == 3) m = m / 64;
      out[i].mantissas[t] = static_cast<int16_t>(m);
    }
  }
  if (n >= 3) out[2] = out[0];  // a duplicate: distance 0 and tied scores
  return out;
}

// Every target, tile, Gram-table and row-tile arrangement, and thread count against the
// per-client reference, bit for bit.
TEST(KrumScores, EveryPathEqualsThePerClientReference) {
  struct Case {
    size_t n, len;
  };
  // Lengths leave vector tails and span several element chunks; odd n leaves half tiles, and
  // n = 5, 7, 33 partial blocks of both panel heights (3 and 4).
  const std::vector<Case> cases = {{1, 5},     {2, 16}, {3, 1},  {7, 20005}, {5, 389},
                                   {12, 1000}, {9, 0},  {33, 77}};
  using detail::GramTile;
  for (const Case& c : cases) {
    const auto enc = random_encodings(c.n, c.len, static_cast<uint32_t>(c.n * 131 + c.len));
    for (size_t k : {size_t{0}, size_t{1}, c.n / 2, c.n + 5}) {
      const Scores want = detail::scores_reference(enc, k);
      for (size_t threads = 1; threads <= 3; ++threads) {
        parallel::reset_pool_for_testing(threads);
        for (simd::Target t : simd::supported_targets()) {
          for (GramTile tile : {GramTile::kAuto, GramTile::kInteger, GramTile::kPanel}) {
            const size_t full = c.n * c.n * 8;
            // Cap: roomy, one table only, row tiles of 2..3 rows.
            for (size_t cap :
                 {detail::kDefaultTableCap, full, size_t{1}, c.n * 8 * 3 * threads}) {
              EXPECT_EQ(detail::scores_with(enc, k, t, cap, tile), want)
                  << "n=" << c.n << " len=" << c.len << " k=" << k << " threads=" << threads
                  << " " << simd::target_name(t) << " tile=" << static_cast<int>(tile)
                  << " cap=" << cap;
            }
          }
        }
      }
    }
  }
}

// The tiles alone on the worst headroom cases, against int64 sums: every product 32767^2 of one
// sign, over the longest run the integer tile accepts, and for the panel blocks runs whose
// sums pass 2^49 with odd low bits, which a rounding double would lose.
TEST(KrumScores, TilesAreExactAtFullHeadroom) {
  const size_t n = detail::kMaxTileElems;
  std::vector<int16_t> p(n, 32767), q(n, -32767), r(n);
  for (size_t t = 0; t < n; ++t) r[t] = static_cast<int16_t>(t % 2 ? -32767 : 32767);
  const int64_t sq = int64_t{32767} * 32767 * static_cast<int64_t>(n);
  for (simd::Target t : simd::supported_targets()) {
    int64_t out[4];
#if defined(FENRO_X86)
    auto tile =
        t == simd::Target::kScalar ? &detail::dot_tile_scalar : &detail::dot_tile_avx2;
#else
    auto tile = &detail::dot_tile_scalar;
#endif
    tile(p.data(), q.data(), p.data(), r.data(), n, out);
    EXPECT_EQ(out[0], sq) << simd::target_name(t);
    EXPECT_EQ(out[1], 0) << simd::target_name(t);
    EXPECT_EQ(out[2], -sq) << simd::target_name(t);
    EXPECT_EQ(out[3], 0) << simd::target_name(t);
  }
#if defined(FENRO_X86)
  // Six rows of 2^19 elements (8 of them on the longest lane): +-32767, 32765, 32766 and small
  // odd values, so that the sums need all 53 bits.
  const size_t len = size_t{1} << 19, rows = 6;
  std::vector<double> storage(rows * len + detail::kPanelAlign);
  double* panel = storage.data();
  while (reinterpret_cast<uintptr_t>(panel) % 64 != 0) ++panel;
  std::mt19937 rng(3);
  for (size_t i = 0; i < rows; ++i) {
    for (size_t t = 0; t < len; ++t) {
      const int v = i == 0 ? 32767 : i == 1 ? -32767 : i == 2 ? 32765 + int(t % 2)
                   : i == 3 ? int(rng() % 7) - 3 : static_cast<int>(rng() % 65535) - 32767;
      panel[i * len + t] = v;
    }
  }
  std::vector<int64_t> want(rows * rows, 0);
  for (size_t i = 0; i < rows; ++i)
    for (size_t j = 0; j < rows; ++j)
      for (size_t t = 0; t < len; ++t)
        want[i * rows + j] += static_cast<int64_t>(panel[i * len + t]) *
                              static_cast<int64_t>(panel[j * len + t]);
  for (simd::Target t : simd::supported_targets()) {
    if (t == simd::Target::kScalar) continue;
    auto gram = t == simd::Target::kAvx512 ? &detail::panel_gram_avx512
                                           : &detail::panel_gram_avx2;
    std::vector<int64_t> got(rows * rows, 0);
    gram(panel, rows, len, len, 0, rows, /*upper=*/false, got.data(), nullptr, 0);
    EXPECT_EQ(got, want) << simd::target_name(t);
    // Upper: the cells below the diagonal stay untouched.
    std::vector<int64_t> up(rows * rows, -1), want_up = want;
    for (size_t i = 0; i < rows; ++i)
      for (size_t j = 0; j < rows; ++j) want_up[i * rows + j] = j < i ? -1 : want[i * rows + j] - 1;
    gram(panel, rows, len, len, 0, rows, /*upper=*/true, up.data(), nullptr, 0);
    EXPECT_EQ(up, want_up) << simd::target_name(t);
  }
#endif
}

TEST(KrumScores, SumTheKSmallestWithSaturation) {
  // Points 0, 1, 3 (per element, 4 elements): distances 4 * d^2.
  const auto enc = points({0, 1, 3});
  EXPECT_EQ(detail::compute_krum_scores_bfp16(enc, 1), (Scores{{0, 4}, {1, 4}, {2, 16}}));
  EXPECT_EQ(detail::compute_krum_scores_bfp16(enc, 2), (Scores{{0, 40}, {1, 20}, {2, 52}}));
  EXPECT_EQ(detail::compute_krum_scores_bfp16(enc, 9), detail::compute_krum_scores_bfp16(enc, 2));
  EXPECT_EQ(detail::compute_krum_scores_bfp16(enc, 0), (Scores{{0, 0}, {1, 0}, {2, 0}}));
  // One far client saturates only the scores that include it.
  std::vector<Bfp16Vec> far = points({0, 0, 0}, 9);
  far.push_back(vec(std::vector<int16_t>(9, 32767), 15));
  far[0].mantissas[0] = -32767;
  const Scores s = detail::compute_krum_scores_bfp16(far, 3);
  EXPECT_EQ(s[3].second, kMax);
  EXPECT_EQ(s[1].second, kMax);
  EXPECT_EQ(detail::compute_krum_scores_bfp16(far, 1)[1].second, 0);
  EXPECT_TRUE(detail::compute_krum_scores_bfp16({}, 3).empty());
}

TEST(Krum, QuorumIsTwoFPlusThreeSaturating) {
  EXPECT_EQ(detail::aggregate_krum_bfp16(points({0, 1, 2, 3}), 1), std::nullopt);
  EXPECT_TRUE(detail::aggregate_krum_bfp16(points({0, 1, 2, 3, 4}), 1).has_value());
  EXPECT_EQ(detail::aggregate_krum_bfp16(points({0, 1, 2}), 0), std::optional<size_t>(0));
  constexpr size_t kHuge = std::numeric_limits<size_t>::max();
  for (size_t f : {kHuge, kHuge / 2, kHuge / 2 - 1}) {
    EXPECT_EQ(detail::aggregate_krum_bfp16(points({0, 1, 2, 3, 4}), f), std::nullopt) << f;
    EXPECT_EQ(detail::aggregate_multi_krum_bfp16(points({0, 1, 2, 3, 4}), f, 1), std::nullopt) << f;
  }
  EXPECT_EQ(detail::aggregate_krum_bfp16({}, 0), std::nullopt);
}

TEST(Krum, PicksTheSmallestScoreLowestIndexOnTies) {
  // f = 1, n = 5, k = 2. Clients 1 and 3 are mirror images around the cluster: equal scores.
  EXPECT_EQ(detail::aggregate_krum_bfp16(points({100, 9, 10, 11, -100}), 1),
            std::optional<size_t>(2));
  EXPECT_EQ(detail::aggregate_krum_bfp16(points({100, 10, -100, 10, 50}), 1),
            std::optional<size_t>(1));
  // Three identical updates: every score 0, index 0.
  EXPECT_EQ(detail::aggregate_krum_bfp16(points({7, 7, 7}), 0), std::optional<size_t>(0));
}

TEST(MultiKrum, SelectionBoundsAndStableOrder) {
  const auto seven = points({0, 1, 2, 3, 50, 60, 4});
  EXPECT_TRUE(detail::aggregate_multi_krum_bfp16(seven, 1, 3).has_value());
  EXPECT_EQ(detail::aggregate_multi_krum_bfp16(seven, 1, 4), std::nullopt);
  EXPECT_EQ(detail::aggregate_multi_krum_bfp16(seven, 1, 0), std::nullopt);
  EXPECT_EQ(detail::aggregate_multi_krum_bfp16(points({0, 1, 2, 3}), 1, 1), std::nullopt);
  // k = 4, scores in squared units: 0:30 1:15 2:10 3:15 6:30, clients 4 and 5 far away. Best
  // first, the tie between 1 and 3 in index order.
  const auto sel = detail::aggregate_multi_krum_bfp16(seven, 1, 3);
  ASSERT_TRUE(sel.has_value());
  EXPECT_EQ(*sel, (std::vector<size_t>{2, 1, 3}));
  // All equal: index order.
  EXPECT_EQ(detail::aggregate_multi_krum_bfp16(points({5, 5, 5, 5, 5, 5, 5}), 1, 3),
            (std::optional<std::vector<size_t>>{{0, 1, 2}}));
  // With f = 0, m may reach n - 2.
  EXPECT_EQ(detail::aggregate_multi_krum_bfp16(points({0, 9, 1}), 0, 1),
            (std::optional<std::vector<size_t>>{{0}}));
  EXPECT_EQ(detail::aggregate_multi_krum_bfp16(points({0, 9, 1}), 0, 2), std::nullopt);
}

}  // namespace
}  // namespace fenro::aggregators
