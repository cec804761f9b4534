// meamed, Bulyan, the geometric median, centered clipping and the weighted median and trimmed
// mean, against float64 references written here from their definitions: bit for bit where the
// definition fixes every rounding, within 1e-6 * (|ref| + max |ref|) for the iterative rules;
// every SIMD target and pool size; the hard inputs; the order of checks and exact messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <vector>

#include "fenro/aggregators/bfp16.h"
#include "fenro/aggregators/bulyan.h"
#include "fenro/aggregators/centered_clipping.h"
#include "fenro/aggregators/geometric_median.h"
#include "fenro/aggregators/krum.h"
#include "fenro/aggregators/krum_kernels.h"
#include "fenro/aggregators/krum_rule.h"
#include "fenro/aggregators/meamed.h"
#include "fenro/aggregators/meamed_kernels.h"
#include "fenro/aggregators/median.h"
#include "fenro/aggregators/weighted_median.h"
#include "fenro/aggregators/weighted_trimmed_mean.h"
#include "fenro/error/number_text.h"
#include "fenro/pipeline/aggregator.h"
#include "kernel_reference.h"
#include "test_util.h"

namespace fenro::aggregators {
namespace {

using testing::bits_of;
using testing::BitsEqual;
using Weights = std::span<const float>;

// The mean of the `keep` values of one coordinate (client order) nearest to its median: rank
// clients by (|x - m| in float64, index), keep the first, average them in ascending order in
// float64; an all-zero kept set is -0.0 when every kept value is.
float ref_around_median(const std::vector<float>& v, size_t keep) {
  const size_t n = v.size(), h = n / 2;
  std::vector<float> sorted = v;
  std::stable_sort(sorted.begin(), sorted.end(), [](float a, float b) { return a < b; });
  float m = sorted[h];
  if (n % 2 == 0) {
    m = (sorted[h - 1] + sorted[h]) * 0.5f;
    if (!std::isfinite(m)) m = static_cast<float>((double{sorted[h - 1]} + double{sorted[h]}) * 0.5);
  }
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return std::fabs(double{v[a]} - m) < std::fabs(double{v[b]} - m);
  });
  std::vector<double> kept;
  bool all_negative_zero = true, all_zero = true;
  for (size_t i = 0; i < keep; ++i) {
    const float x = v[order[i]];
    kept.push_back(double{x});
    all_zero = all_zero && x == 0.0f;
    all_negative_zero = all_negative_zero && x == 0.0f && std::signbit(x);
  }
  if (all_zero) return all_negative_zero ? -0.0f : 0.0f;
  std::sort(kept.begin(), kept.end());
  double sum = -0.0;
  for (double x : kept) sum += x;
  return static_cast<float>(sum / static_cast<double>(keep));
}

std::vector<float> ref_meamed(std::span<const UpdateView> u, size_t keep) {
  return testing::per_coordinate(u, false, [&](const std::vector<float>& v) { return ref_around_median(v, keep); });
}

// Bulyan from its definition, with Krum's distance taken from bfp16_distance of the encodings.
BulyanResult ref_bulyan(std::span<const UpdateView> u, size_t f) {
  const size_t n = u.size();
  const std::vector<Bfp16Vec> enc = encode_bfp16(u);
  std::vector<size_t> remaining(n);
  std::iota(remaining.begin(), remaining.end(), size_t{0});
  BulyanResult out;
  while (out.selected.size() < n - 2 * f) {
    const size_t left = remaining.size();
    const size_t k = left > f + 2 ? std::max<size_t>(left - f - 2, 1) : 1;
    size_t best = 0;
    int64_t best_score = 0;
    for (size_t a = 0; a < left; ++a) {
      std::vector<int64_t> d;
      for (size_t b = 0; b < left; ++b)
        if (b != a) d.push_back(detail::bfp16_distance(enc[remaining[a]], enc[remaining[b]]));
      std::sort(d.begin(), d.end());
      int64_t score = 0;
      for (size_t t = 0; t < std::min(k, d.size()); ++t)
        score = score > INT64_MAX - d[t] ? INT64_MAX : score + d[t];
      if (a == 0 || score < best_score) best = a, best_score = score;
    }
    out.selected.push_back(remaining[best]);
    remaining.erase(remaining.begin() + static_cast<std::ptrdiff_t>(best));
  }
  std::vector<size_t> chosen = out.selected;
  std::sort(chosen.begin(), chosen.end());
  std::vector<UpdateView> subset;
  for (size_t i : chosen) subset.push_back(u[i]);
  const std::vector<float> agg = ref_meamed(subset, chosen.size() - 2 * f);
  out.aggregate = Matrix(u[0].rows, u[0].cols);
  std::copy(agg.begin(), agg.end(), out.aggregate.data());
  return out;
}

::testing::AssertionResult Near(const Matrix& got, const std::vector<double>& ref) {
  double max_ref = 0.0;
  for (double r : ref) max_ref = std::max(max_ref, std::fabs(r));
  for (size_t i = 0; i < ref.size(); ++i) {
    if (std::fabs(double{got.data()[i]} - ref[i]) > 1e-6 * (std::fabs(ref[i]) + max_ref)) {
      return ::testing::AssertionFailure() << "element " << i << ": " << got.data()[i] << " vs " << ref[i];
    }
  }
  return ::testing::AssertionSuccess();
}

// Updates whose values are small multiples of 0.5 (plenty of ties, both zeros) or uniform.
testing::StridedUpdates make_updates(size_t n, size_t rows, size_t cols, uint32_t seed, bool ties) {
  std::mt19937 rng(seed);
  return testing::StridedUpdates(n, rows, cols, cols + 2, [&, ties](size_t, size_t) {
    if (!ties) return std::uniform_real_distribution<float>(-3.0f, 3.0f)(rng);
    const float x = static_cast<float>(static_cast<int>(rng() % 7) - 3) * 0.5f;
    return x == 0.0f && rng() % 2 ? -0.0f : x;
  });
}

TEST(MeamedAndBulyan, MatchTheirDefinitionsBitForBitOnEveryTargetAndPool) {
  struct Case {
    size_t n, f, rows, cols;
  };
  // n at each rule's minimum, f = 0, partial tiles (rows * cols not a multiple of 64).
  for (Case c : {Case{7, 1, 3, 45}, Case{11, 2, 9, 17}, Case{5, 2, 1, 70}, Case{4, 0, 2, 33},
                 Case{23, 5, 4, 40}, Case{3, 0, 1, 1}}) {
    for (bool ties : {true, false}) {
      const auto u = make_updates(c.n, c.rows, c.cols, static_cast<uint32_t>(c.n * 7 + c.f), ties);
      SCOPED_TRACE(::testing::Message() << "n=" << c.n << " f=" << c.f << " ties=" << ties);
      const std::vector<float> want = ref_meamed(u.views, c.n - c.f);
      const bool bulyan_ok = c.n >= 4 * c.f + 3;
      const BulyanResult want_b = bulyan_ok ? ref_bulyan(u.views, c.f) : BulyanResult{};
      testing::for_each_target_and_pool([&](simd::Target t) {
        auto got = detail::mean_around_median_with(u.views, c.n - c.f,
                                                   update::Validation::of(u.views), t);
        ASSERT_TRUE(got.ok());
        EXPECT_TRUE(BitsEqual(got->data(), want.data(), want.size()));
        if (!bulyan_ok) return;
        auto b = detail::bulyan_with(u.views, c.f, t);
        ASSERT_TRUE(b.ok());
        EXPECT_EQ(b->selected, want_b.selected);
        EXPECT_TRUE(BitsEqual(b->aggregate.data(), want_b.aggregate.data(), want.size()));
      });
      // Bulyan's first choice is our Krum's.
      if (bulyan_ok && c.n >= 2 * c.f + 3) {
        EXPECT_EQ(want_b.selected[0], detail::aggregate_krum_bfp16(encode_bfp16(u.views), c.f));
      }
    }
  }
}

// Dense updates take the staged tile loop, whose window start is found by binary search:
// several stage groups, two chunks of the pool and a partial tile, tens to hundreds of
// updates, keep from n down to under n / 2; the values tie often (small multiples of 0.5, both zeros), spread over many
// binades (distances that round to the same double on one side of the median), or mix all of
// those with huge and subnormal magnitudes.
TEST(MeamedAndBulyan, DenseUpdatesMatchTheDefinitionBitForBit) {
  const size_t d = 4 * detail::kAroundStage + detail::kAroundTile + 5;
  for (size_t n : {33, 50, 200}) {
    for (int kind = 0; kind < 3; ++kind) {
      std::mt19937 rng(static_cast<uint32_t>(n * 3 + kind));
      testing::Updates u(n, 1, d);
      for (auto& x : u.data) {
        for (float& v : x) {
          const int small = static_cast<int>(rng() % 7) - 3;
          v = kind == 0   ? (small == 0 && rng() % 2 ? -0.0f : static_cast<float>(small) * 0.5f)
              : kind == 1 ? std::ldexp(static_cast<float>(small), static_cast<int>(rng() % 60) - 30)
                          : testing::hard_value(rng);
        }
      }
      for (size_t keep : {n, n - (n - 3) / 4, n / 3}) {
        SCOPED_TRACE(::testing::Message() << "n=" << n << " kind=" << kind << " keep=" << keep);
        const std::vector<float> want = ref_meamed(u.views, keep);
        testing::for_each_target_and_pool([&](simd::Target t) {
          auto got = detail::mean_around_median_with(u.views, keep,
                                                     update::Validation::of(u.views), t);
          ASSERT_TRUE(got.ok());
          EXPECT_TRUE(BitsEqual(got->data(), want.data(), want.size()));
        });
      }
    }
  }
}

TEST(MeamedAndBulyan, HardInputs) {
  // Equal distances on both sides of the median: the lower client index stays. Median 2; the
  // values 4 (client 0) and 0 (client 1) are both 2 away, so dropping one keeps the 4.
  testing::Updates u(5, 1, 1);
  const float mirror[] = {4.0f, 0.0f, 2.0f, 1.0f, 3.0f};
  for (size_t k = 0; k < 5; ++k) u.at(k, 0, 0) = mirror[k];
  EXPECT_EQ(meamed(u.views, 2)->data()[0], 2.0f);
  EXPECT_EQ(meamed(u.views, 1)->data()[0], 2.5f);
  // Identical updates: the update itself; all -0.0: -0.0; near the float32 maximum: no overflow.
  for (float x : {0.1f, -0.0f, FLT_MAX}) {
    testing::Updates same(7, 2, 3);
    for (auto& d : same.data) std::fill(d.begin(), d.end(), x);
    same.refresh();
    EXPECT_EQ(bits_of(meamed(same.views, 3)->data()[4]), bits_of(x));
    auto b = bulyan(same.views, 1);
    EXPECT_EQ(bits_of(b->aggregate.data()[4]), bits_of(x));
    EXPECT_EQ(b->selected, (std::vector<size_t>{0, 1, 2, 3, 4}));  // all tie: lowest index first
  }
  // Many updates take the sorting path instead of the network.
  const auto many = make_updates(1100, 1, 3, 5, true);
  EXPECT_TRUE(BitsEqual(meamed(many.views, 400)->data(), ref_meamed(many.views, 700).data(), 3));
}

// Weiszfeld from its definition, every sum a plain loop in float64.
struct GmRef {
  std::vector<double> z;
  uint64_t steps = 0;
  double objective = 0.0;
};
GmRef ref_geometric_median(std::span<const UpdateView> u, const std::vector<double>& w, double nu,
                           double tol, uint64_t max_iter) {
  const size_t n = u.size();
  std::vector<std::vector<float>> x;
  for (const UpdateView& v : u) x.push_back(testing::row_major(v));
  const size_t d = x[0].size();
  const auto mean = [&](const std::vector<double>& c) {
    std::vector<double> z(d, 0.0);
    double total = 0.0;
    for (size_t i = 0; i < n; ++i) total += c[i];
    for (size_t t = 0; t < d; ++t) {
      double s = 0.0;
      for (size_t i = 0; i < n; ++i) s += c[i] == 0.0 ? 0.0 : c[i] * double{x[i][t]};
      z[t] = s / total;
    }
    return z;
  };
  const auto dist = [&](const std::vector<double>& z, size_t i) {
    double s = -0.0;
    for (size_t t = 0; t < d; ++t) s += (double{x[i][t]} - z[t]) * (double{x[i][t]} - z[t]);
    return std::sqrt(s);
  };
  const auto objective = [&](const std::vector<double>& z) {
    double f = 0.0;
    for (size_t i = 0; i < n; ++i) f += w[i] == 0.0 ? 0.0 : w[i] * dist(z, i);
    return f;
  };
  GmRef best{mean(w), 0, 0.0};
  best.objective = objective(best.z);
  std::vector<double> z = best.z;
  double prev = best.objective;
  for (uint64_t it = 1; it <= max_iter && prev > 0.0; ++it) {
    std::vector<double> beta(n);
    for (size_t i = 0; i < n; ++i) beta[i] = w[i] / std::max(nu, dist(z, i));
    z = mean(beta);
    const double f = objective(z);
    best.steps = it;
    if (f < best.objective) best.z = z, best.objective = f;
    if (prev - f < tol * prev) break;
    prev = f;
  }
  return best;
}

TEST(IterativeRules, FollowTheirFloat64DefinitionsAndAgreeAcrossPools) {
  const auto u = make_updates(9, 4, 21, 17, false);
  const std::vector<float> wf = {1, 2, 0.5f, 0, 3, 1, 1, 0.25f, 2};
  const std::vector<double> w(wf.begin(), wf.end());
  const std::vector<double> ones(9, 1.0);
  struct Case {
    bool weighted;
    double nu, tol;
    uint64_t max_iter;
  };
  for (Case c : {Case{false, 1e-6, 1e-7, 100}, Case{true, 1e-6, 0.0, 7}, Case{true, 0.5, 1e-3, 50},
                 Case{false, 1e-6, 1e-7, 0}}) {
    SCOPED_TRACE(::testing::Message() << "weighted=" << c.weighted << " max_iter=" << c.max_iter);
    const GmRef ref = ref_geometric_median(u.views, c.weighted ? w : ones, c.nu, c.tol, c.max_iter);
    std::optional<Matrix> first;
    for (size_t threads : {1, 2, 3}) {
      parallel::reset_pool_for_testing(threads);
      auto got = geometric_median(u.views, c.weighted ? std::optional<Weights>(wf) : std::nullopt,
                                  c.nu, c.tol, c.max_iter);
      ASSERT_TRUE(got.ok());
      EXPECT_TRUE(Near(got->aggregate, ref.z));
      EXPECT_EQ(got->iterations, ref.steps);
      EXPECT_NEAR(got->objective, ref.objective, 1e-12 * ref.objective);
      if (first) {
        EXPECT_TRUE(BitsEqual(first->data(), got->aggregate.data(), first->size()));
      } else {
        first = std::move(got->aggregate);
      }
    }
  }
  // A zero weight removes its update: the same bits as leaving it out.
  std::vector<UpdateView> without(u.views.begin(), u.views.end());
  without.erase(without.begin() + 3);
  std::vector<float> w_without(wf);
  w_without.erase(w_without.begin() + 3);
  auto a = geometric_median(u.views, Weights(wf), 1e-6, 1e-7, 100);
  auto b = geometric_median(without, Weights(w_without), 1e-6, 1e-7, 100);
  EXPECT_TRUE(BitsEqual(a->aggregate.data(), b->aggregate.data(), a->aggregate.size()));
  // Identical updates: optimal from the start, no step taken.
  testing::Updates same(4, 2, 2);
  for (auto& d : same.data) std::fill(d.begin(), d.end(), 0.75f);
  same.refresh();
  auto s = geometric_median(same.views, std::nullopt, 1e-6, 1e-7, 100);
  EXPECT_EQ(s->iterations, 0u);
  EXPECT_EQ(s->aggregate.data()[3], 0.75f);
}

TEST(IterativeRules, CenteredClippingFollowsItsDefinition) {
  const auto u = make_updates(6, 3, 11, 23, false);
  std::vector<std::vector<float>> x;
  for (const UpdateView& v : u.views) x.push_back(testing::row_major(v));
  const std::vector<float> med = testing::ref_median(u.views);
  for (double tau : {0.5, 3.0, std::numeric_limits<double>::infinity()}) {
    for (uint64_t iterations : {1, 4}) {
      std::vector<double> v(med.begin(), med.end()), factors(6);
      for (uint64_t it = 0; it < iterations; ++it) {
        std::vector<double> step(v.size(), 0.0);
        for (size_t i = 0; i < 6; ++i) {
          double s = -0.0;
          for (size_t t = 0; t < v.size(); ++t) s += (double{x[i][t]} - v[t]) * (double{x[i][t]} - v[t]);
          const double d = std::sqrt(s);
          factors[i] = std::min(1.0, tau / d);
          for (size_t t = 0; t < v.size(); ++t) step[t] += d == 0.0 ? 0.0 : factors[i] * (double{x[i][t]} - v[t]);
        }
        for (size_t t = 0; t < v.size(); ++t) v[t] += step[t] / 6.0;
      }
      auto got = centered_clipping(u.views, tau, iterations, std::nullopt);
      ASSERT_TRUE(got.ok());
      EXPECT_TRUE(Near(got->aggregate, v)) << tau << " " << iterations;
      EXPECT_EQ(got->factors, factors);
    }
  }
  // tau = inf from a center: one step is the plain mean; an update at the center adds nothing.
  testing::Updates two(2, 1, 2);
  two.at(0, 0, 0) = 1, two.at(0, 0, 1) = 2, two.at(1, 0, 0) = 4, two.at(1, 0, 1) = 6;
  auto mean = centered_clipping(two.views, INFINITY, 1, two.views[0]);
  EXPECT_EQ(mean->aggregate.data()[0], 2.5f);
  EXPECT_EQ(mean->aggregate.data()[1], 4.0f);
  // (4, 6) - (1, 2) has norm 5: tau = 2.5 halves it, and the step is half of that.
  auto clipped = centered_clipping(two.views, 2.5, 1, two.views[0]);
  EXPECT_EQ(clipped->aggregate.data()[0], 1.75f);
  EXPECT_EQ(clipped->aggregate.data()[1], 3.0f);
  EXPECT_EQ(clipped->factors, (std::vector<double>{1.0, 0.5}));
}

TEST(WeightedRules, MedianAndTrimmedMeanFollowTheirDefinitions) {
  const auto u = make_updates(8, 5, 13, 31, true);
  const std::vector<float> w = {1, 0.5f, 2, 0, 1, 3, 0.25f, 1};
  const auto want_median = testing::per_coordinate(u.views, false, [&](const std::vector<float>& v) {
    std::vector<size_t> order(v.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return v[a] < v[b]; });
    double total = 0.0, cum = 0.0;
    for (size_t i : order) total += w[i];
    for (size_t i : order) {
      cum += w[i];
      if (w[i] > 0 && 2 * cum >= total) return v[i];
    }
    return NAN;
  });
  EXPECT_TRUE(BitsEqual(weighted_median(u.views, w)->data(), want_median.data(), want_median.size()));
  // Equal weights on an odd count: the median; a zero weight removes its update.
  const std::vector<UpdateView> odd(u.views.begin(), u.views.begin() + 7);
  const std::vector<float> ones(7, 1.0f);
  const std::vector<float> med = testing::ref_median(odd);
  EXPECT_TRUE(BitsEqual(weighted_median(odd, ones)->data(), med.data(), med.size()));
  std::vector<float> zero_last(8, 1.0f);
  zero_last[7] = 0.0f;
  EXPECT_TRUE(BitsEqual(weighted_median(u.views, zero_last)->data(), med.data(), med.size()));
  // Trimmed mean: values 1, 2, 3, 4 of weight 1 with t = 0.125 cut half of 1 and half of 4.
  testing::Updates four(4, 1, 1);
  for (size_t k = 0; k < 4; ++k) four.at(k, 0, 0) = static_cast<float>(4 - k);
  const std::vector<float> w4(4, 1.0f);
  EXPECT_EQ(weighted_trimmed_mean(four.views, w4, 0.125f)->data()[0], 2.5f);
  // Equal weights with t * n whole: trimmed_mean's kept values.
  std::vector<float> eq(8, 2.0f);
  std::vector<double> want_trim;
  for (float x : testing::ref_trimmed_mean(u.views, 2)) want_trim.push_back(x);
  EXPECT_TRUE(Near(*weighted_trimmed_mean(u.views, eq, 0.25f), want_trim));
}

TEST(KrumRules, MatchARoundWithoutIdsBoundOrBanAndReportTheSelection) {
  const auto u = make_updates(12, 3, 17, 41, false);
  struct Case {
    pipeline::AggregationMethod method;
    std::optional<uint64_t> m;
  };
  for (Case c : {Case{pipeline::AggregationMethod::krum(2), std::nullopt},
                 Case{pipeline::AggregationMethod::multi_krum(3, std::nullopt), std::nullopt},
                 Case{pipeline::AggregationMethod::multi_krum(1, 5), 5}}) {
    auto round = pipeline::ByzantineAggregator::create(c.method, 0.1f, 0.0f, false, std::nullopt);
    auto want = round->aggregate_weighted(u.views, std::nullopt, std::nullopt);
    const bool single = c.method.kind == pipeline::AggregationMethod::Kind::kKrum;
    auto got = single ? krum(u.views, c.method.f) : multi_krum(u.views, c.method.f, c.m);
    ASSERT_TRUE(want.ok() && got.ok());
    EXPECT_TRUE(BitsEqual(got->aggregate.data(), want->data(), want->size()));
    const std::vector<Bfp16Vec> enc = encode_bfp16(u.views);
    const std::vector<size_t> selection =
        single ? std::vector<size_t>{*detail::aggregate_krum_bfp16(enc, c.method.f)}
               : *detail::aggregate_multi_krum_bfp16(enc, c.method.f, c.m.value_or(3));
    EXPECT_EQ(got->selected, selection);
  }
  EXPECT_ERROR_MSG(krum(u.views, 5), "Insufficient quorum: need 13, got 12");
  EXPECT_ERROR_MSG(multi_krum(u.views, UINT64_MAX, 1),
                   "Insufficient quorum: need 18446744073709551615, got 12");
  EXPECT_ERROR_MSG(multi_krum(u.views, 1, 9),
                   "Multi-Krum selection m=9 exceeds the safe maximum 8 for 12 clients with f=1 "
                   "(requires 1 <= m <= n - 2f - 2)");
}

TEST(RobustRules, ChecksRunInOrderWithExactMessages) {
  testing::Updates u(5, 2, 3);
  const std::vector<float> w = {1, 1, 1, 1, 1};
  const auto all = [&](const std::string& msg, uint64_t f, double nu, double tol, double tau,
                       uint64_t iterations, std::span<const float> weights, float trim) {
    if (f != 99) {
      EXPECT_ERROR_MSG(meamed(u.views, f), msg);
      EXPECT_ERROR_MSG(bulyan(u.views, f), msg);
    }
    EXPECT_ERROR_MSG(geometric_median(u.views, weights, nu, tol, 10), msg);
    EXPECT_ERROR_MSG(centered_clipping(u.views, tau, iterations, std::nullopt), msg);
    EXPECT_ERROR_MSG(weighted_median(u.views, weights), msg);
    EXPECT_ERROR_MSG(weighted_trimmed_mean(u.views, weights, trim), msg);
  };
  // The updates come first, even before invalid parameters.
  u.at(3, 1, 2) = NAN;
  all("Non-finite value NaN in update 3 at [1, 2]", 9, 0.0, -1.0, 0.0, 0, {}, 0.9f);
  u.at(3, 1, 2) = 0;
  u.views[4].cols = 2;
  all("Dimension mismatch in updates", 9, 0.0, -1.0, 0.0, 0, {}, 0.9f);
  EXPECT_ERROR_MSG(krum(u.views, 99), "Dimension mismatch in updates");
  EXPECT_ERROR_MSG(meamed({}, 0), "Empty updates provided");
  EXPECT_ERROR_MSG(bulyan({}, 0), "Empty updates provided");
  u.refresh();
  EXPECT_ERROR_MSG(meamed(u.views, 3), "f = 3 is out of range: meamed needs 2f < n (n = 5)");
  EXPECT_ERROR_MSG(bulyan(u.views, 1), "f = 1 is out of range: bulyan needs n >= 4f + 3 (n = 5)");
  EXPECT_ERROR_MSG(bulyan(u.views, UINT64_MAX),
                   "f = 18446744073709551615 is out of range: bulyan needs n >= 4f + 3 (n = 5)");
  EXPECT_ERROR_MSG(meamed(u.views, UINT64_MAX / 2 + 1),
                   "f = 9223372036854775808 is out of range: meamed needs 2f < n (n = 5)");
  for (double nu : {0.0, -1.0, std::nan(""), HUGE_VAL}) {
    EXPECT_ERROR_MSG(geometric_median(u.views, std::nullopt, nu, 0.1, 5),
                     "nu = " + error::format_message_number(nu) +
                         " is out of range: geometric_median needs a finite nu > 0");
  }
  EXPECT_ERROR_MSG(geometric_median(u.views, std::nullopt, 1e-6, -0.5, 5),
                   "tol = -0.5 is out of range: geometric_median needs a finite tol >= 0");
  for (double tau : {0.0, -2.0, std::nan("")}) {
    EXPECT_ERROR_MSG(centered_clipping(u.views, tau, 1, std::nullopt),
                     "tau = " + error::format_message_number(tau) +
                         " is out of range: centered_clipping needs tau > 0 (inf allowed)");
  }
  EXPECT_ERROR_MSG(centered_clipping(u.views, 1.0, 0, std::nullopt),
                   "iterations = 0 is out of range: centered_clipping needs iterations >= 1");
  testing::Updates wrong(1, 3, 2);
  EXPECT_ERROR_MSG(centered_clipping(u.views, 1.0, 1, wrong.views[0]),
                   "center has shape (3, 2) but the updates have shape (2, 3)");
  testing::Updates nan_center(1, 2, 3);
  nan_center.at(0, 1, 0) = -INFINITY;
  EXPECT_ERROR_MSG(centered_clipping(u.views, 1.0, 1, nan_center.views[0]),
                   "Non-finite value -inf in center at [1, 0]");
  // Weights: count, then each weight in order, then all zero; trim before weights.
  const std::vector<float> three = {1, 1, 1}, bad = {1, -0.5f, NAN, 1, 1}, nan_first = {1, NAN, -1, 1, 1};
  const std::vector<float> zeros = {0, -0.0f, 0, 0, 0};
  EXPECT_ERROR_MSG(geometric_median(u.views, Weights(three), 1e-6, 0, 5), "Dimension mismatch in updates");
  EXPECT_ERROR_MSG(weighted_median(u.views, three), "Dimension mismatch in updates");
  EXPECT_ERROR_MSG(weighted_trimmed_mean(u.views, three, 0.1f), "Dimension mismatch in updates");
  EXPECT_ERROR_MSG(geometric_median(u.views, Weights(bad), 1e-6, 0, 5),
                   "weights[1] = -0.5 is out of range: geometric_median needs weights >= 0");
  EXPECT_ERROR_MSG(weighted_median(u.views, bad),
                   "weights[1] = -0.5 is out of range: weighted_median needs weights >= 0");
  EXPECT_ERROR_MSG(weighted_median(u.views, nan_first), "Non-finite weight NaN at index 1");
  EXPECT_ERROR_MSG(weighted_trimmed_mean(u.views, zeros, 0.1f),
                   "weights are all zero: weighted_trimmed_mean needs at least one weight > 0");
  EXPECT_ERROR_MSG(weighted_trimmed_mean(u.views, zeros, 0.6f), "Invalid trim fraction: 0.6 (must be 0.0-0.5)");
  EXPECT_ERROR_MSG(weighted_trimmed_mean(u.views, w, 0.5f), "Insufficient quorum: need 1, got 0");
}

}  // namespace
}  // namespace fenro::aggregators
