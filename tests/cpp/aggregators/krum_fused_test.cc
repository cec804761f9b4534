// The fused Krum path (chunks encoded on the fly) against Krum on the materialised encodings:
// same scores and selections, bit for bit, on every target, thread count and table cap.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "fenro/aggregators/bfp16.h"
#include "fenro/aggregators/bfp16_kernels.h"
#include "fenro/aggregators/krum.h"
#include "fenro/aggregators/krum_kernels.h"
#include "fenro/parallel/pool.h"

namespace fenro::aggregators {
namespace {

using Scores = std::vector<std::pair<size_t, int64_t>>;

// n updates of rows x cols, each row followed by `pad` unused elements (strided when pad > 0).
struct Batch {
  std::vector<std::vector<float>> store;
  std::vector<UpdateView> views;
};

// Magnitudes differ per update (exponents from the lower clamp to the upper range, gaps of 16
// and more), with all-zero updates, a pair whose distance saturates (exponents 15 and 0 at full
// mantissas), a duplicate for tied scores, and optionally NaN and infinities.
Batch random_batch(size_t n, size_t rows, size_t cols, size_t pad, uint32_t seed,
                   bool nonfinite = false) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  Batch b;
  const size_t stride = cols + pad;
  for (size_t i = 0; i < n; ++i) {
    std::vector<float> v(rows * stride, 7.0f);  // padding that must never be read as data
    const int mode = static_cast<int>(rng() % 7);
    const float mag = std::ldexp(1.0f, static_cast<int>(rng() % 41) - 20);
    for (size_t r = 0; r < rows; ++r) {
      for (size_t c = 0; c < cols; ++c) {
        const size_t t = r * cols + c;
        float x = normal(rng) * mag;
        if (mode == 1) x = 0.0f;
        if (mode == 2) x = (t % 3 == 0 ? -1.0f : 1.0f) * 1073709056.0f;  // 32767 * 2^15
        if (mode == 3) x = -32767.0f;
        if (mode == 4) x = normal(rng) * 1e-39f;  // subnormal: the exponent's lower clamp
        if (mode == 5) x = normal(rng) * 1e37f;
        if (nonfinite && rng() % 50 == 0) {
          const float bad[] = {std::numeric_limits<float>::quiet_NaN(),
                               std::numeric_limits<float>::infinity(),
                               -std::numeric_limits<float>::infinity()};
          x = bad[rng() % 3];
        }
        v[r * stride + c] = x;
      }
    }
    b.store.push_back(std::move(v));
  }
  if (n >= 3) b.store[2] = b.store[0];
  for (const auto& v : b.store) {
    b.views.push_back({v.empty() ? nullptr : v.data(), rows, cols,
                       static_cast<std::ptrdiff_t>(stride)});
  }
  return b;
}

Scores materialised(const Batch& b, size_t k) {
  return detail::scores_reference(
      detail::encode_with(b.views, simd::Target::kScalar), k);
}

TEST(KrumFused, ScoresEqualTheMaterialisedPathEverywhere) {
  struct Case {
    size_t n, rows, cols, pad;
    bool nonfinite;
  };
  // Lengths leave vector tails, span several element chunks, or are empty; pads make strided
  // rows whose runs end mid-vector.
  const std::vector<Case> cases = {{1, 1, 5, 0, false},   {2, 4, 4, 3, false},
                                   {3, 1, 1, 0, false},   {5, 7, 3001, 0, false},
                                   {6, 13, 1601, 5, true}, {9, 0, 5, 0, false},
                                   {4, 3, 0, 2, false},   {17, 2, 77, 1, true},
                                   {40, 3, 700, 0, false},  {23, 5, 157, 4, true}};
  for (const Case& c : cases) {
    const Batch b = random_batch(c.n, c.rows, c.cols, c.pad,
                                 static_cast<uint32_t>(c.n * 977 + c.cols), c.nonfinite);
    for (size_t k : {size_t{1}, c.n / 2, c.n + 3}) {
      const Scores want = materialised(b, k);
      for (size_t threads = 1; threads <= 3; ++threads) {
        parallel::reset_pool_for_testing(threads);
        for (simd::Target t : simd::supported_targets()) {
          for (auto tile : {detail::GramTile::kInteger, detail::GramTile::kPanel}) {
            // Cap: roomy, one table only, row tiles of 2..3 rows.
            for (size_t cap : {detail::kDefaultTableCap, c.n * c.n * 8, size_t{1},
                               c.n * 8 * 3 * threads}) {
              EXPECT_EQ(detail::scores_fused_with(b.views, k, t, cap, tile), want)
                  << "n=" << c.n << " " << c.rows << "x" << c.cols << " pad=" << c.pad
                  << " k=" << k << " threads=" << threads << " " << simd::target_name(t)
                  << " tile=" << static_cast<int>(tile) << " cap=" << cap;
            }
          }
        }
      }
    }
  }
}

TEST(KrumFused, SaturatedAndAlignedDistancesMatch) {
  // 32767 * 2^15 against -32767: exponents 15 and 0, each term just below 2^60, so nine or
  // more elements saturate the distance; the third update is 16 exponents below the first.
  const size_t len = 40;
  std::vector<float> big(len, 1073709056.0f), small(len, -32767.0f), tiny(len, 0.4f);
  const std::vector<UpdateView> views = {UpdateView::dense(big.data(), 1, len),
                                         UpdateView::dense(small.data(), 1, len),
                                         UpdateView::dense(tiny.data(), 1, len)};
  const Batch b{{}, views};
  for (simd::Target t : simd::supported_targets()) {
    const Scores got = detail::scores_fused_with(views, 2, t, detail::kDefaultTableCap);
    EXPECT_EQ(got, materialised(b, 2));
    EXPECT_EQ(got[0].second, std::numeric_limits<int64_t>::max());
  }
}

TEST(KrumFused, MixedLengthsTakeThePerClientComputation) {
  std::vector<float> a(10, 1.0f), c(12, 2.0f);
  const std::vector<UpdateView> views = {UpdateView::dense(a.data(), 2, 5),
                                         UpdateView::dense(c.data(), 3, 4),
                                         UpdateView::dense(a.data(), 1, 10)};
  const Batch b{{}, views};
  for (simd::Target t : simd::supported_targets())
    EXPECT_EQ(detail::scores_fused_with(views, 1, t, 1), materialised(b, 1));
}

TEST(KrumFused, SelectionsEqualTheReferenceApi) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{3}, size_t{5}, size_t{8}, size_t{23}}) {
    const Batch b = random_batch(n, 3, 301, 2, static_cast<uint32_t>(n + 5));
    const auto enc = encode_bfp16(b.views);
    for (size_t f : {size_t{0}, size_t{1}, size_t{3}, std::numeric_limits<size_t>::max()}) {
      EXPECT_EQ(krum_select(b.views, f), detail::aggregate_krum_bfp16(enc, f))
          << "n=" << n << " f=" << f;
      for (size_t m : {size_t{0}, size_t{1}, size_t{2}, n}) {
        EXPECT_EQ(multi_krum_select(b.views, f, m),
                  detail::aggregate_multi_krum_bfp16(enc, f, m))
            << "n=" << n << " f=" << f << " m=" << m;
      }
    }
  }
}

}  // namespace
}  // namespace fenro::aggregators
