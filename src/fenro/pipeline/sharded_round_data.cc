#include "fenro/pipeline/sharded_round_data.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>
#include <numeric>
#include <tuple>
#include <utility>

#include "fenro/aggregators/bulyan.h"
#include "fenro/aggregators/fedavg.h"
#include "fenro/aggregators/krum_kernels.h"
#include "fenro/aggregators/meamed.h"
#include "fenro/aggregators/meamed_kernels.h"
#include "fenro/aggregators/median.h"
#include "fenro/aggregators/trimmed_mean.h"
#include "fenro/math/distances.h"
#include "fenro/math/means.h"
#include "fenro/math/running_sums.h"
#include "fenro/simd/cpu.h"
#include "fenro/update/validation.h"

namespace fenro::pipeline {
namespace {

namespace bfp = aggregators::detail;
__extension__ typedef __int128 Int128;
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

std::vector<size_t> first(size_t n) {
  std::vector<size_t> list(n);
  std::iota(list.begin(), list.end(), size_t{0});
  return list;
}

// An interval holding the square root of the sequential sum of `terms` squares, from their sum
// in another grouping (std::sqrt is correctly rounded, hence monotone).
Interval root_bounds(double sum, uint64_t terms) {
  const math::SumBounds b = math::bounds_of_reordered_sum(sum, terms);
  return {std::sqrt(b.lo), std::sqrt(b.hi)};
}

// Krum's squared distance of two encodings from their exact Gram entries and exponents:
// 4^s aa + bb - 2^(s+1) ab with s = ea - eb >= 0 (mirrored otherwise), saturated; exponents 16
// or more apart give the maximum. Every term of the distance is non-negative, so the saturated
// exact value is the saturating per-term sum of the definition.
int64_t distance_from_gram(Int128 aa, Int128 bb, Int128 ab, int ea, int eb) {
  if (ea < eb) {
    std::swap(aa, bb);
    std::swap(ea, eb);
  }
  const int s = ea - eb;
  if (s >= 16) return kMax;
  const Int128 r = aa * (Int128{1} << (2 * s)) + bb - ab * (Int128{1} << (s + 1));
  return r > kMax ? kMax : static_cast<int64_t>(r);
}

Result<Matrix> run_kernel(const RangeKernel& k, std::span<const UpdateView> views,
                          update::Validation validation) {
  switch (k.method) {
    case RangeMethod::kFedAvg: {
      std::optional<std::span<const float>> w;
      if (k.weights) w = std::span<const float>(*k.weights);
      return aggregators::fedavg(views, w, validation);
    }
    case RangeMethod::kTrimmedMean:
      return aggregators::trimmed_mean(views, k.trim_fraction, validation);
    case RangeMethod::kMeamed:
      // Its own validation is always owed; the caller's values are checked either way.
      return aggregators::meamed(views, k.f);
    case RangeMethod::kAroundMedian:
      return aggregators::detail::mean_around_median_with(views, k.f, validation,
                                                          simd::best_target());
    case RangeMethod::kMedian:
      break;
  }
  return aggregators::median(views, validation);
}

// The checks of the stateless rule that read no value: the rule on updates without
// coordinates. FedAvg's weights are checked there as the function checks them.
Status rule_checks(const RangeKernel& k) {
  const std::vector<UpdateView> none(k.updates.size());
  if (k.method == RangeMethod::kFedAvg && k.weights) {
    auto checked = aggregators::fedavg(none, std::span<const float>(*k.weights));
    if (!checked.ok()) return std::move(checked).error();
    return {};
  }
  auto checked = run_kernel(k, none, update::Validation::done());
  if (!checked.ok()) return std::move(checked).error();
  return {};
}

error::SourceFailed malformed(const char* what) {
  return error::SourceFailed{std::string("a worker gave a malformed answer to ") + what};
}

}  // namespace

namespace range_pass {

std::vector<update::RangeScan> scans(std::span<const UpdateView> buffers) {
  std::vector<update::RangeScan> out(buffers.size());
  if (!buffers.empty()) update::scan_ranges(buffers, 0, buffers[0].size(), out.data());
  return out;
}

void continue_sums(std::span<const UpdateView> buffers, const UpdateView* aggregate,
                   double* running) {
  if (buffers.empty()) return;
  const size_t len = buffers[0].size();
  if (aggregate != nullptr) {
    math::continue_sums_of_squared_differences(buffers, *aggregate, 0, len, running);
  } else {
    math::continue_sums_of_squares(buffers, 0, len, running);
  }
}

Result<Matrix> kernel(const RangeKernel& kernel, std::span<const UpdateView> buffers,
                      std::optional<RangeNonFinite>* non_finite) {
  *non_finite = std::nullopt;
  auto slice = run_kernel(kernel, buffers,
                          kernel.values_owed ? update::Validation::of(buffers)
                                             : update::Validation::done());
  if (slice.ok()) return slice;
  if (const auto* bad = slice.error().get_if<error::NonFiniteValue>()) {
    // A buffer is one row: the column is the coordinate within the range.
    *non_finite = RangeNonFinite{bad->update, bad->row * (buffers.empty() ? 0 : buffers[0].cols) +
                                                  bad->column,
                                 bad->value};
    return Matrix();
  }
  return slice;
}

std::vector<int64_t> gram(std::span<const UpdateView> buffers,
                          std::span<const bfp::BlockScale> scales) {
  return bfp::gram_with_scales(buffers, scales, simd::best_target());
}

void point_weighted(std::span<const UpdateView> buffers, std::span<const double> coeffs,
                    double divisor, bool step, double* point) {
  if (buffers.empty()) return;
  const size_t len = buffers[0].size();
  if (!step) {
    math::weighted_sum_f64(buffers, coeffs, nullptr, point);
    for (size_t t = 0; t < len; ++t) point[t] /= divisor;
    return;
  }
  // The sums are per element: chunk by chunk, the scratch stays small.
  constexpr size_t kChunk = 32768;
  std::vector<double> sum(std::min(len, kChunk));
  std::vector<UpdateView> chunk(buffers.size());
  for (size_t at = 0; at < len; at += kChunk) {
    const size_t count = std::min(kChunk, len - at);
    for (size_t k = 0; k < buffers.size(); ++k) {
      chunk[k] = UpdateView::dense(buffers[k].data + at, 1, count);
    }
    math::weighted_sum_f64(chunk, coeffs, point + at, sum.data());
    for (size_t t = 0; t < count; ++t) point[at + t] = point[at + t] + sum[t] / divisor;
  }
}

std::vector<double> pair_table(std::span<const UpdateView> buffers) {
  return math::pairwise_sq_distances_f64(buffers);
}

void continue_pair_sums(std::span<const UpdateView> buffers,
                        std::span<const std::pair<uint32_t, uint32_t>> pairs, double* running) {
  if (buffers.empty()) return;
  const size_t len = buffers[0].size();
  for (size_t p = 0; p < pairs.size(); ++p) {
    // (x_j - x_i)^2 is (x_i - x_j)^2 bit for bit: negation is exact.
    math::continue_sums_of_squared_differences(buffers.subspan(pairs[p].second, 1),
                                               buffers[pairs[p].first], 0, len, running + p);
  }
}

void continue_point_sums(std::span<const UpdateView> buffers, const double* point,
                         double* running) {
  if (buffers.empty()) return;
  math::continue_sums_of_squared_differences_to_point(buffers, point, 0, buffers[0].size(),
                                                      running);
}

}  // namespace range_pass

namespace {

// The points of the listed updates, every range holding its part.
class ShardedPoints final : public aggregators::PointPasses {
 public:
  ShardedPoints(RangePasses& passes, std::span<const size_t> updates)
      : passes_(passes), updates_(updates) {}
  size_t count() const override { return updates_.size(); }
  Status weighted(size_t slot, std::span<const double> coeffs, double divisor,
                  bool step) override {
    return passes_.point_weighted(slot, updates_, coeffs, divisor, step);
  }
  Status distances(size_t slot, double* out) override {
    auto sums = passes_.point_chained_sums(slot, updates_);
    if (!sums.ok()) return std::move(sums).error();
    if (sums->size() != updates_.size()) return malformed("a distance pass");
    for (size_t k = 0; k < updates_.size(); ++k) out[k] = std::sqrt((*sums)[k]);
    return {};
  }

 private:
  RangePasses& passes_;
  std::span<const size_t> updates_;
};

}  // namespace

std::vector<size_t> even_cuts(size_t size, size_t ranges) {
  ranges = std::max<size_t>(1, std::min(ranges, std::max<size_t>(size, 1)));
  std::vector<size_t> cuts(ranges + 1);
  for (size_t s = 0; s <= ranges; ++s) cuts[s] = size / ranges * s + std::min(s, size % ranges);
  return cuts;
}

void ShardedRoundData::check_aggregate_fits() {
  Matrix::ensure_allocatable(shapes_[0].rows, shapes_[0].cols);
}

Result<std::vector<update::RangeScan>> ShardedRoundData::joined_scans(
    std::span<const size_t> updates) {
  auto parts = passes_.scans(updates);
  if (!parts.ok()) return std::move(parts).error();
  if (parts->size() + 1 != cuts_.size()) return malformed("scans");
  std::vector<update::RangeScan> joined(updates.size());
  for (size_t s = 0; s < parts->size(); ++s) {
    const std::vector<update::RangeScan>& part = (*parts)[s];
    if (part.size() != updates.size()) return malformed("scans");
    for (size_t t = 0; t < updates.size(); ++t) update::append_scan(joined[t], part[t], cuts_[s]);
  }
  return joined;
}

Status ShardedRoundData::scan_first(size_t prefix) {
  const std::vector<size_t> list = first(prefix);
  auto scans = joined_scans(list);
  if (!scans.ok()) return std::move(scans).error();
  for (size_t k = 0; k < prefix; ++k) {
    FENRO_RETURN_IF_ERROR(update::non_finite_status((*scans)[k], k, shapes_[0].cols));
  }
  return {};
}

Status ShardedRoundData::first_non_finite(size_t prefix) { return scan_first(prefix); }

Result<std::vector<Interval>> ShardedRoundData::bounds(std::span<const size_t> updates,
                                                       bool distances) {
  auto parts = passes_.sums(updates, distances);
  if (!parts.ok()) return std::move(parts).error();
  if (parts->size() + 1 != cuts_.size()) return malformed("sums");
  std::vector<double> total(updates.size(), math::kRunningSumStart);
  for (const std::vector<double>& part : *parts) {
    if (part.size() != updates.size()) return malformed("sums");
    for (size_t t = 0; t < total.size(); ++t) total[t] += part[t];
  }
  std::vector<Interval> out;
  out.reserve(total.size());
  // A non-finite sum is the same in every order: NaN when a term is NaN, else +inf.
  for (double sum : total) out.push_back(root_bounds(sum, size()));
  return out;
}

Result<std::vector<Interval>> ShardedRoundData::norms(size_t prefix) {
  const std::vector<size_t> list = first(prefix);
  auto out = bounds(list, false);
  if (!out.ok()) return out;
  for (size_t k = 0; k < prefix; ++k) {
    // A sum of squares of finite float32 values never overflows: a non-finite one holds a
    // non-finite value, and the scan names the first in the round's order.
    if (!std::isfinite((*out)[k].lo) || !std::isfinite((*out)[k].hi)) {
      FENRO_RETURN_IF_ERROR(scan_first(prefix));
      return error::SourceFailed{"a worker's sums and scans disagree"};
    }
  }
  return out;
}

Result<std::vector<double>> ShardedRoundData::chained_roots(std::span<const size_t> updates,
                                                            bool distances) {
  auto sums = passes_.chained_sums(updates, distances);
  if (!sums.ok()) return sums;
  if (sums->size() != updates.size()) return malformed("chained sums");
  chained_ += updates.size();
  for (double& v : *sums) v = std::sqrt(v);
  return sums;
}

Result<std::vector<double>> ShardedRoundData::exact_norms(std::span<const size_t> updates) {
  return chained_roots(updates, false);
}

Status ShardedRoundData::rule(RangeKernel kernel) {
  kernel.values_owed = true;
  Status checked = rule_checks(kernel);
  if (!checked.ok()) {
    // The function's validation comes first.
    FENRO_RETURN_IF_ERROR(scan_listed(kernel.updates));
    return checked;
  }
  return on_ranges(kernel);
}

Status ShardedRoundData::scan_listed(std::span<const size_t> updates) {
  auto scans = joined_scans(updates);
  if (!scans.ok()) return std::move(scans).error();
  for (size_t t = 0; t < scans->size(); ++t) {
    FENRO_RETURN_IF_ERROR(update::non_finite_status((*scans)[t], t, shapes_[0].cols));
  }
  return {};
}

Status ShardedRoundData::coordinate_wise(RangeKernel kernel) {
  // The kernel's own checks depend on the number of updates, the weights and the trim fraction
  // only, so a run on updates without coordinates makes them all, and reads no value.
  const std::vector<UpdateView> none(kernel.updates.size());
  auto checked = run_kernel(kernel, none, update::Validation::done());
  if (!checked.ok()) {
    if (kernel.values_owed) FENRO_RETURN_IF_ERROR(scan_first(count()));
    return std::move(checked).error();
  }
  return on_ranges(kernel);
}

Status ShardedRoundData::on_ranges(const RangeKernel& kernel) {
  auto found = passes_.kernel(kernel);
  if (!found.ok()) return std::move(found).error();
  if (found->size() + 1 != cuts_.size()) return malformed("a method pass");
  // The first non-finite value of the round is the smallest (update, coordinate) over the
  // ranges: the scan's order is update by update, then coordinate order.
  std::optional<std::pair<uint64_t, uint64_t>> at;
  float value = 0.0f;
  for (size_t s = 0; s < found->size(); ++s) {
    const std::optional<RangeNonFinite>& bad = (*found)[s];
    if (!bad) continue;
    if (!kernel.values_owed || bad->update >= kernel.updates.size() ||
        bad->coordinate >= cuts_[s + 1] - cuts_[s]) {
      return malformed("a method pass");
    }
    const std::pair<uint64_t, uint64_t> here{bad->update, cuts_[s] + bad->coordinate};
    if (!at || here < *at) {
      at = here;
      value = bad->value;
    }
  }
  if (at) {
    const size_t cols = shapes_[0].cols;
    return error::NonFiniteValue{value, at->first, at->second / cols, at->second % cols};
  }
  return {};
}

Status ShardedRoundData::fedavg(std::span<const size_t> updates,
                                std::optional<std::span<const float>> checked_weights,
                                bool values_owed) {
  RangeKernel k{RangeMethod::kFedAvg, {updates.begin(), updates.end()}, std::nullopt, 0.0f,
                values_owed};
  if (checked_weights) k.weights.emplace(checked_weights->begin(), checked_weights->end());
  return coordinate_wise(std::move(k));
}

Status ShardedRoundData::trimmed_mean(std::span<const size_t> updates, float trim_fraction,
                                      bool values_owed) {
  return coordinate_wise({RangeMethod::kTrimmedMean, {updates.begin(), updates.end()},
                          std::nullopt, trim_fraction, values_owed});
}

Status ShardedRoundData::median(std::span<const size_t> updates, bool values_owed) {
  return coordinate_wise(
      {RangeMethod::kMedian, {updates.begin(), updates.end()}, std::nullopt, 0.0f, values_owed});
}

Result<std::vector<int64_t>> ShardedRoundData::krum_distances(
    std::span<const size_t> updates) {
  const size_t m = updates.size();
  // Each update's exponent from its largest magnitude over all ranges, computed here once, so
  // that every range encodes with the whole update's (and workers whose math libraries differ
  // still encode alike).
  auto scans = joined_scans(updates);
  if (!scans.ok()) return std::move(scans).error();
  std::vector<int64_t> out(m * m, 0);
  bool finite = true;
  std::vector<bfp::BlockScale> scales(m);
  for (size_t t = 0; t < m; ++t) {
    if ((*scans)[t].max_abs > 0.0f) {
      scales[t].exponent = bfp::exponent_for((*scans)[t].max_abs);
      scales[t].scale = bfp::scale_for(scales[t].exponent);
    }
    scales[t].finite = !(*scans)[t].first_non_finite;
    finite = finite && scales[t].finite;
  }
  if (!finite) {
    FENRO_RETURN_IF_ERROR(scan_listed(updates));
    return malformed("scans");
  }
  auto tables = passes_.gram(updates, scales);
  if (!tables.ok()) return std::move(tables).error();
  if (tables->size() + 1 != cuts_.size()) return malformed("a Gram pass");
  // Every entry below 2^30 * 2^33 per range; the sum of the ranges in 128 bits is exact.
  std::vector<Int128> gram(m * m, 0);
  for (const std::vector<int64_t>& table : *tables) {
    if (table.size() != m * m) return malformed("a Gram pass");
    for (size_t t = 0; t < m * m; ++t) gram[t] += table[t];
  }
  for (size_t a = 0; a < m; ++a) {
    for (size_t b = a + 1; b < m && size() > 0; ++b) {
      const int64_t d = distance_from_gram(gram[a * m + a], gram[b * m + b], gram[a * m + b],
                                           scales[a].exponent, scales[b].exponent);
      out[a * m + b] = out[b * m + a] = d;
    }
  }
  return out;
}

Result<std::vector<size_t>> ShardedRoundData::bulyan(std::span<const size_t> updates,
                                                     size_t f) {
  auto dist = krum_distances(updates);
  if (!dist.ok()) return std::move(dist).error();
  std::vector<size_t> selected = aggregators::detail::bulyan_selection(*dist, updates.size(), f);
  // The mean around the median of the selected, in ascending index order, keeping
  // theta - 2f values.
  std::vector<size_t> chosen = selected;
  std::sort(chosen.begin(), chosen.end());
  RangeKernel kernel{RangeMethod::kAroundMedian, {}, std::nullopt, 0.0f, false,
                     chosen.size() - 2 * f};
  for (size_t t : chosen) kernel.updates.push_back(updates[t]);
  FENRO_RETURN_IF_ERROR(on_ranges(kernel));
  return selected;
}

Result<std::vector<uint32_t>> ShardedRoundData::nearest(std::span<const size_t> updates,
                                                        size_t k) {
  const size_t n = updates.size();
  auto tables = passes_.pair_tables(updates);
  if (!tables.ok()) return std::move(tables).error();
  if (tables->size() + 1 != cuts_.size()) return malformed("a distance pass");
  std::vector<double> sum(n * n, 0.0);
  for (const std::vector<double>& table : *tables) {
    if (table.size() != n * n) return malformed("a distance pass");
    for (size_t t = 0; t < n * n; ++t) sum[t] += table[t];
  }
  std::vector<double> lo(n * n, 0.0), hi(n * n, 0.0);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < n; ++j) {
      if (!std::isfinite(sum[i * n + j])) {
        FENRO_RETURN_IF_ERROR(scan_listed(updates));
        return malformed("a distance pass");
      }
      if (j == i) continue;
      const math::SumBounds b = math::bounds_of_reordered_sum(sum[i * n + j], size());
      lo[i * n + j] = b.lo;
      hi[i * n + j] = b.hi;
    }
  }
  return math::nearest_from_bounds(
      n, k, lo, hi,
      [&](std::span<const std::pair<uint32_t, uint32_t>> pairs) -> Result<std::vector<double>> {
        chained_ += pairs.size();
        auto exact = passes_.pair_chained_sums(updates, pairs);
        if (!exact.ok()) return std::move(exact).error();
        if (exact->size() != pairs.size()) return malformed("a distance pass");
        return exact;
      });
}

Result<aggregators::WeiszfeldRun> ShardedRoundData::geometric_median(
    std::span<const size_t> updates, std::span<const double> w, double nu, double tol,
    uint64_t max_iter) {
  ShardedPoints points(passes_, updates);
  auto run = aggregators::weiszfeld(points, w, nu, tol, max_iter,
                                    [&] { return scan_listed(updates); });
  if (!run.ok()) return std::move(run).error();
  FENRO_RETURN_IF_ERROR(passes_.point_slice(run->best, false));
  return run;
}

Result<aggregators::CenteredClippingSteps> ShardedRoundData::centered_clipping(
    std::span<const size_t> updates, double tau, uint64_t iterations, bool from_median) {
  if (from_median) {
    FENRO_RETURN_IF_ERROR(rule({RangeMethod::kMedian, {updates.begin(), updates.end()},
                                std::nullopt, 0.0f, true, 0}));
  }
  FENRO_RETURN_IF_ERROR(passes_.point_slice(0, true));
  ShardedPoints points(passes_, updates);
  auto steps = aggregators::centered_clipping_steps(points, tau, iterations,
                                                    [&] { return scan_listed(updates); });
  if (!steps.ok()) return std::move(steps).error();
  FENRO_RETURN_IF_ERROR(passes_.point_slice(0, false));
  return steps;
}

Result<KrumScores> ShardedRoundData::krum_scores(std::span<const size_t> updates, size_t k) {
  const size_t m = updates.size();
  auto dist = krum_distances(updates);
  if (!dist.ok()) return std::move(dist).error();
  KrumScores out(m);
  std::vector<int64_t> d;
  for (size_t i = 0; i < m; ++i) {
    d.clear();
    for (size_t j = 0; j < m; ++j) {
      if (j != i) d.push_back((*dist)[i * m + j]);
    }
    const size_t take = std::min(k, d.size());
    std::partial_sort(d.begin(), d.begin() + static_cast<ptrdiff_t>(take), d.end());
    int64_t score = 0;
    for (size_t t = 0; t < take; ++t) score = score > kMax - d[t] ? kMax : score + d[t];
    out[i] = {i, score};
  }
  return out;
}

Status ShardedRoundData::mean_of(std::span<const size_t> updates) {
  return passes_.mean_of(updates);
}

Status ShardedRoundData::copy_of(size_t update) { return passes_.copy_of(update); }

Result<std::vector<Interval>> ShardedRoundData::distances(std::span<const size_t> updates) {
  return bounds(updates, true);
}

Result<std::vector<double>> ShardedRoundData::exact_distances(std::span<const size_t> updates) {
  return chained_roots(updates, true);
}

}  // namespace fenro::pipeline
