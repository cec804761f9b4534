#include "fenro/update/range_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "fenro/parallel/pool.h"
#include "fenro/update/range_scan_kernels.h"
#include "aggregators/kernel_reference.h"
#include "test_util.h"

namespace fenro::update {
namespace {

using testing::bits_of;

constexpr float kInf = std::numeric_limits<float>::infinity();

// The largest |x| over the finite elements, written out independently.
float finite_max_abs(const std::vector<float>& v, size_t lo, size_t hi) {
  float m = 0.0f;
  for (size_t t = lo; t < hi; ++t)
    if (std::isfinite(v[t])) m = std::max(m, std::fabs(v[t]));
  return m;
}

// Scans of pieces, joined, equal the scan of the whole: the first non-finite element with
// check_finite's message, and the largest finite magnitude. Pieces are scanned in place (same
// view, coordinates its own) and as separate buffers (a worker's shard, joined with its
// offset); the cuts fall anywhere, next to and on the non-finite elements.
TEST(RangeScan, JoinedPiecesEqualTheWholeUpdate) {
  std::mt19937 rng(21);
  const std::vector<simd::Target> targets = simd::supported_targets();
  const size_t rows = 7, cols = 45, size = rows * cols;  // rows long enough for the vector loop
  for (int round = 0; round < 300; ++round) {
    const auto seed = static_cast<uint32_t>(rng());
    testing::Updates u = testing::random_updates(1, rows, cols, seed, 1e30f);
    std::vector<float>& v = u.data[0];
    const float specials[] = {std::nanf(""), kInf, -kInf, -std::nanf("")};
    for (size_t bad = rng() % 4; bad > 0; --bad) v[rng() % size] = specials[rng() % 4];
    if (round % 5 == 0) v[rng() % size] = -FLT_MAX;
    u.refresh();

    std::vector<size_t> cuts = {0, size};
    for (size_t i = rng() % 7; i > 0; --i) cuts.push_back(rng() % (size + 1));
    std::sort(cuts.begin(), cuts.end());
    const simd::Target target = targets[round % targets.size()];
    RangeScan in_place, as_shards;
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
      const size_t lo = cuts[i], hi = cuts[i + 1];
      append_scan(in_place, range_scan_kernels::scan_range_with(u.views[0], lo, hi, target), 0);
      std::vector<float> shard(v.begin() + lo, v.begin() + hi);
      const UpdateView piece = UpdateView::dense(shard.data(), 1, hi - lo);
      append_scan(as_shards, range_scan_kernels::scan_range_with(piece, 0, hi - lo, target), lo);
    }
    const Status expected = check_finite(u.views[0], 4);
    for (const RangeScan& s : {in_place, as_shards}) {
      const Status got = non_finite_status(s, 4, cols);
      ASSERT_EQ(got.ok(), expected.ok()) << round;
      if (!got.ok()) {
        EXPECT_EQ(got.error().message(), expected.error().message()) << round;
        EXPECT_EQ(bits_of(s.value), bits_of(v[*s.first_non_finite])) << round;
      }
      EXPECT_EQ(bits_of(s.max_abs), bits_of(finite_max_abs(v, 0, size))) << round;
    }
  }
}

TEST(RangeScan, HardValuesAndEmptyRanges) {
  struct Case {
    std::vector<float> values;
    float max_abs;
    std::optional<uint64_t> first;
  };
  const float sub = std::numeric_limits<float>::denorm_min();
  const Case cases[] = {
      {{-0.0f, -0.0f, 0.0f}, 0.0f, std::nullopt},  // +0.0, never -0.0
      {{sub, -3 * sub, 0.0f}, 3 * sub, std::nullopt},
      {{1.0f, -FLT_MAX, 2.0f}, FLT_MAX, std::nullopt},
      {{1.0f, kInf, -FLT_MAX, std::nanf("")}, FLT_MAX, 1},  // non-finite values never count
      {{std::nanf(""), -kInf}, 0.0f, 0},
  };
  for (simd::Target t : simd::supported_targets()) {
    for (const Case& c : cases) {
      // Each case padded to 40 elements with zeros, so the vector loop sees it too.
      std::vector<float> padded(40, 0.0f);
      std::copy(c.values.begin(), c.values.end(), padded.begin() + 33);
      const UpdateView v = UpdateView::dense(padded.data(), 1, padded.size());
      const RangeScan s = range_scan_kernels::scan_range_with(v, 0, padded.size(), t);
      EXPECT_EQ(bits_of(s.max_abs), bits_of(c.max_abs)) << simd::target_name(t);
      std::optional<uint64_t> first;
      if (c.first) first = *c.first + 33;
      EXPECT_EQ(s.first_non_finite, first);
    }
  }
  const std::vector<float> v = {std::nanf(""), 5.0f};
  const RangeScan empty = scan_range(UpdateView::dense(v.data(), 1, 2), 1, 1);
  EXPECT_FALSE(empty.first_non_finite);
  EXPECT_EQ(bits_of(empty.max_abs), 0u);
  EXPECT_FALSE(scan_range(UpdateView{nullptr, 3, 0, 0}, 0, 0).first_non_finite);
  // The message of the round's own check: row and column from the coordinate.
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
    range_scan_kernels::scan_ranges_with(u.views, 5, len, out.data(), t);
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
