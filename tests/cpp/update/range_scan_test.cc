#include "fenro/update/range_scan.h"
#include "fenro/update/validation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "aggregators/kernel_reference.h"
#include "fenro/update/range_scan_kernels.h"
#include "test_util.h"

namespace fenro::update {
namespace {

using testing::bits_of;

constexpr float kInf = std::numeric_limits<float>::infinity();

float finite_max_abs(const std::vector<float>& v, size_t lo, size_t hi) {
  float m = 0.0f;
  for (size_t t = lo; t < hi; ++t)
    if (std::isfinite(v[t])) m = std::max(m, std::fabs(v[t]));
  return m;
}

// Scans of pieces, joined, equal the scan of the whole update: check_finite's error for the
// first non-finite element, and the largest finite magnitude (never that of an infinity or a
// NaN). Pieces are scanned in place, and as buffers of their own joined with their offset (a
// worker's shard); cuts fall anywhere, also next to and on the non-finite elements.
TEST(RangeScan, JoinedPiecesEqualTheWholeUpdate) {
  std::mt19937 rng(21);
  const std::vector<simd::Target> targets = simd::supported_targets();
  const size_t rows = 7, cols = 45, size = rows * cols;  // rows long enough for the vector loop
  const float specials[] = {std::nanf(""), kInf, -kInf, -FLT_MAX};
  for (int round = 0; round < 300; ++round) {
    const auto seed = static_cast<uint32_t>(rng());
    testing::Updates u = testing::random_updates(1, rows, cols, seed, 1e30f);
    std::vector<float>& v = u.data[0];
    for (size_t bad = rng() % 4; bad > 0; --bad) v[rng() % size] = specials[rng() % 4];
    u.refresh();
    std::vector<size_t> cuts = {0, size};
    for (size_t i = rng() % 7; i > 0; --i) cuts.push_back(rng() % (size + 1));
    std::sort(cuts.begin(), cuts.end());
    const simd::Target target = targets[static_cast<size_t>(round) % targets.size()];
    RangeScan in_place, as_shards;
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
      const size_t lo = cuts[i], hi = cuts[i + 1];
      append_scan(in_place, detail::scan_range_with(u.views[0], lo, hi, target), 0);
      std::vector<float> shard(v.begin() + lo, v.begin() + hi);
      const UpdateView piece = UpdateView::dense(shard.data(), 1, hi - lo);
      append_scan(as_shards, detail::scan_range_with(piece, 0, hi - lo, target), lo);
    }
    const Status expected = check_finite(u.views[0], 4);
    for (const RangeScan& s : {in_place, as_shards}) {
      const Status got = non_finite_status(s, 4, cols);
      ASSERT_EQ(got.ok(), expected.ok()) << round;
      if (!got.ok()) {
        EXPECT_EQ(got.error().message(), expected.error().message()) << round;
      }
      EXPECT_EQ(bits_of(s.max_abs), bits_of(finite_max_abs(v, 0, size))) << round;
    }
  }
  // No finite element, or only zeros of either sign: +0.0; an empty range finds nothing.
  const std::vector<float> zeros = {-0.0f, std::nanf(""), -0.0f};
  const RangeScan z = scan_range(UpdateView::dense(zeros.data(), 1, 3), 0, 3);
  EXPECT_EQ(bits_of(z.max_abs), 0u);
  EXPECT_EQ(z.first_non_finite, 1u);
  EXPECT_FALSE(scan_range(UpdateView::dense(zeros.data(), 1, 3), 1, 1).first_non_finite);
  EXPECT_ERROR_MSG(non_finite_status(RangeScan{13, -kInf, 0.0f}, 2, 5),
                   "Non-finite value -inf in update 2 at [2, 3]");
}

// scan_ranges cuts long ranges into pool tasks; the joined result is the same for every pool
// size and target, with non-finite elements on either side of a task boundary.
TEST(RangeScan, BatchIsTheSameForEveryPoolSize) {
  const size_t len = 700'001;
  testing::Updates u = testing::random_updates(3, 1, len, 4, 1e3f);
  u.at(0, 0, 600'000) = std::nanf("");
  u.at(0, 0, 262'145) = -kInf;  // just past the first task boundary, before the NaN
  u.at(1, 0, 262'143) = kInf;   // just before it
  u.at(2, 0, 699'999) = 1e6f;   // the largest magnitude in the last task
  testing::for_each_target_and_pool([&](simd::Target t) {
    std::vector<RangeScan> out(3);
    detail::scan_ranges_with(u.views, 5, len, out.data(), t);
    EXPECT_EQ(out[0].first_non_finite, 262'145u);
    EXPECT_EQ(out[1].first_non_finite, 262'143u);
    EXPECT_FALSE(out[2].first_non_finite);
    EXPECT_EQ(out[2].max_abs, 1e6f);
    for (size_t k = 0; k < 2; ++k)
      EXPECT_EQ(bits_of(out[k].max_abs), bits_of(finite_max_abs(u.data[k], 5, len)));
  });
}

}  // namespace
}  // namespace fenro::update
