#include "pipeline/sharded_round_data.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <tuple>

#include "fenro/aggregators/bfp16_kernels.h"
#include "fenro/aggregators/fedavg.h"
#include "fenro/aggregators/median.h"
#include "fenro/aggregators/trimmed_mean.h"
#include "fenro/math/running_sums.h"
#include "fenro/update/validation.h"

namespace fenro::testing {
namespace {

using pipeline::Interval;
__extension__ typedef __int128 Int128;
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

std::vector<size_t> first(size_t n) {
  std::vector<size_t> list(n);
  std::iota(list.begin(), list.end(), size_t{0});
  return list;
}

// An interval holding the square root of the sequential sum of `terms` squares, from their sum
// in another grouping.
Interval root_bounds(double sum, uint64_t terms) {
  const math::SumBounds b = math::bounds_of_reordered_sum(sum, terms);
  return {std::sqrt(b.lo), std::sqrt(b.hi)};
}

// Krum's squared distance of two encodings from their exact Gram entries and exponents:
// 4^s aa + bb - 2^(s+1) ab with s = ea - eb >= 0 (mirrored otherwise), saturated; exponents 16
// or more apart give the maximum.
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

}  // namespace

std::vector<UpdateView> ShardedRoundData::Range::views(std::span<const size_t> updates) const {
  std::vector<UpdateView> out;
  for (size_t k : updates) out.push_back(UpdateView::dense(values[k].data(), 1, hi - lo));
  return out;
}

ShardedRoundData::ShardedRoundData(std::span<const UpdateView> updates, std::vector<size_t> cuts) {
  for (const UpdateView& u : updates) shapes_.push_back({u.rows, u.cols});
  if (updates.empty()) return;
  size_ = updates[0].size();
  assert(cuts.front() == 0 && cuts.back() == size_ && std::is_sorted(cuts.begin(), cuts.end()));
  size_t shared = 1;
  while (shared < updates.size() && updates[shared].same_shape(updates[0])) ++shared;
  const size_t cols = updates[0].cols;
  for (size_t s = 0; s + 1 < cuts.size(); ++s) {
    Range r;
    r.lo = cuts[s];
    r.hi = cuts[s + 1];
    r.values.resize(shared);
    for (size_t k = 0; k < shared; ++k) {
      for (size_t c = r.lo; c < r.hi; ++c) r.values[k].push_back(updates[k].at(c / cols, c % cols));
    }
    ranges_.push_back(std::move(r));
  }
}

Matrix ShardedRoundData::assembled() const {
  Matrix out(shapes_[0].rows, shapes_[0].cols);
  for (const Range& r : ranges_)
    std::copy(r.aggregate.begin(), r.aggregate.end(), out.data() + r.lo);
  return out;
}

Status ShardedRoundData::ask() {
  const size_t call = questions_++;
  if (failure_ && failure_->first == call) return failure_->second;
  return {};
}

std::vector<update::RangeScan> ShardedRoundData::joined_scans(
    std::span<const size_t> updates) const {
  std::vector<update::RangeScan> joined(updates.size());
  for (const Range& r : ranges_) {
    std::vector<update::RangeScan> part(updates.size());
    update::scan_ranges(r.views(updates), 0, r.hi - r.lo, part.data());
    for (size_t t = 0; t < updates.size(); ++t) update::append_scan(joined[t], part[t], r.lo);
  }
  return joined;
}

Status ShardedRoundData::scan_first(size_t prefix) const {
  const std::vector<update::RangeScan> scans = joined_scans(first(prefix));
  for (size_t k = 0; k < prefix; ++k) {
    FENRO_RETURN_IF_ERROR(update::non_finite_status(scans[k], k, shapes_[0].cols));
  }
  return {};
}

std::vector<double> ShardedRoundData::sums(std::span<const size_t> updates, bool distances,
                                           bool chain) const {
  std::vector<double> total(updates.size(), math::kRunningSumStart);
  for (const Range& r : ranges_) {
    const size_t len = r.hi - r.lo;
    std::vector<double> piece =
        chain ? total : std::vector<double>(total.size(), math::kRunningSumStart);
    if (distances) {
      math::continue_sums_of_squared_differences(
          r.views(updates), UpdateView::dense(r.aggregate.data(), 1, len), 0, len, piece.data());
    } else {
      math::continue_sums_of_squares(r.views(updates), 0, len, piece.data());
    }
    for (size_t t = 0; t < total.size(); ++t) total[t] = chain ? piece[t] : total[t] + piece[t];
  }
  return total;
}

Status ShardedRoundData::first_non_finite(size_t prefix) {
  FENRO_RETURN_IF_ERROR(ask());
  return scan_first(prefix);
}

Result<std::vector<Interval>> ShardedRoundData::norms(size_t prefix) {
  FENRO_RETURN_IF_ERROR(ask());
  const std::vector<double> total = sums(first(prefix), false, false);
  std::vector<Interval> out;
  for (size_t k = 0; k < prefix; ++k) {
    // A sum of squares of finite float32 values never overflows: a non-finite one holds a
    // non-finite value, which the scans of that update name.
    if (!std::isfinite(total[k])) {
      const size_t one[] = {k};
      Status bad = update::non_finite_status(joined_scans(one)[0], k, shapes_[0].cols);
      assert(!bad.ok());
      return std::move(bad).error();
    }
    out.push_back(root_bounds(total[k], size_));
  }
  return out;
}

Result<std::vector<double>> ShardedRoundData::exact_norms(std::span<const size_t> updates) {
  return chained_roots(updates, false);
}

Result<std::vector<double>> ShardedRoundData::chained_roots(std::span<const size_t> updates,
                                                            bool distances) {
  FENRO_RETURN_IF_ERROR(ask());
  chained_ += updates.size();
  std::vector<double> out = sums(updates, distances, true);
  for (double& v : out) v = std::sqrt(v);
  return out;
}

template <class Kernel>
Status ShardedRoundData::coordinate_wise(std::span<const size_t> updates, bool values_owed,
                                         const Kernel& kernel) {
  FENRO_RETURN_IF_ERROR(ask());
  // The coordinator: the kernel's own checks depend on the number of updates, the weights and
  // the trim fraction only, so a run on updates without coordinates makes them all.
  const std::vector<UpdateView> none(updates.size());
  auto checked = kernel(std::span<const UpdateView>(none), update::Validation::done());
  if (!checked.ok()) {
    if (values_owed) FENRO_RETURN_IF_ERROR(scan_first(count()));
    return std::move(checked).error();
  }
  // The workers, each on its range; the values a range still owes are checked as its kernel
  // loads them, and its first non-finite value moves to whole-update coordinates.
  std::optional<error::NonFiniteValue> found;
  uint64_t found_at = 0;
  const size_t cols = shapes_[0].cols;
  for (Range& r : ranges_) {
    const std::vector<UpdateView> views = r.views(updates);
    auto slice = kernel(std::span<const UpdateView>(views),
                        values_owed ? update::Validation::of(views) : update::Validation::done());
    if (slice.ok()) {
      r.aggregate.assign(slice->data(), slice->data() + slice->size());
      continue;
    }
    const auto* bad = slice.error().template get_if<error::NonFiniteValue>();
    if (bad == nullptr) return std::move(slice).error();  // a fault the comparison will show
    const uint64_t at = r.lo + bad->column;
    if (!found || std::tie(bad->update, at) < std::tie(found->update, found_at)) {
      found = error::NonFiniteValue{bad->value, bad->update, at / cols, at % cols};
      found_at = at;
    }
  }
  if (found) return *found;
  return {};
}

Status ShardedRoundData::fedavg(std::span<const size_t> updates,
                                std::optional<std::span<const float>> checked_weights,
                                bool values_owed) {
  return coordinate_wise(updates, values_owed, [&](auto views, update::Validation v) {
    return aggregators::fedavg(views, checked_weights, v);
  });
}

Status ShardedRoundData::trimmed_mean(std::span<const size_t> updates, float trim_fraction,
                                      bool values_owed) {
  return coordinate_wise(updates, values_owed, [&](auto views, update::Validation v) {
    return aggregators::trimmed_mean(views, trim_fraction, v);
  });
}

Status ShardedRoundData::median(std::span<const size_t> updates, bool values_owed) {
  return coordinate_wise(updates, values_owed, [&](auto views, update::Validation v) {
    return aggregators::median(views, v);
  });
}

Result<pipeline::KrumScores> ShardedRoundData::krum_scores(std::span<const size_t> updates,
                                                           size_t k) {
  namespace bfp = aggregators::detail;
  FENRO_RETURN_IF_ERROR(ask());
  const size_t m = updates.size();
  // The coordinator: each update's exponent from its largest magnitude over all ranges, so
  // that every range encodes with the whole update's.
  const std::vector<update::RangeScan> scans = joined_scans(updates);
  std::vector<bfp::BlockScale> scales(m);
  for (size_t t = 0; t < m; ++t) {
    if (scans[t].max_abs > 0.0f) {
      scales[t].exponent = bfp::exponent_for(scans[t].max_abs);
      scales[t].scale = bfp::scale_for(scales[t].exponent);
    }
    scales[t].finite = !scans[t].first_non_finite;
  }
  // The workers: exact integer Gram tables (i <= j) of their ranges' mantissas, which the
  // coordinator adds in 128 bits.
  std::vector<Int128> gram(m * m, 0);
  for (const Range& r : ranges_) {
    const size_t len = r.hi - r.lo;
    const std::vector<UpdateView> views = r.views(updates);
    std::vector<std::vector<int16_t>> mantissas(m, std::vector<int16_t>(len));
    for (size_t t = 0; t < m; ++t) {
      bfp::encode_range(views[t], 0, len, scales[t], simd::best_target(), mantissas[t].data());
    }
    for (size_t i = 0; i < m; ++i) {
      for (size_t j = i; j < m; ++j) {
        int64_t dot = 0;
        for (size_t c = 0; c < len; ++c) dot += int32_t{mantissas[i][c]} * mantissas[j][c];
        gram[i * m + j] += dot;
      }
    }
  }
  // The coordinator: distances, and each update's k smallest summed with saturation.
  pipeline::KrumScores out(m);
  for (size_t i = 0; i < m; ++i) {
    std::vector<int64_t> d;
    for (size_t j = 0; j < m; ++j) {
      if (j == i) continue;
      const size_t a = std::min(i, j), b = std::max(i, j);
      d.push_back(size_ == 0 ? 0
                             : distance_from_gram(gram[a * m + a], gram[b * m + b], gram[a * m + b],
                                                  scales[a].exponent, scales[b].exponent));
    }
    std::sort(d.begin(), d.end());
    int64_t score = 0;
    for (size_t t = 0; t < std::min(k, d.size()); ++t)
      score = score > kMax - d[t] ? kMax : score + d[t];
    out[i] = {i, score};
  }
  return out;
}

Status ShardedRoundData::mean_of(std::span<const size_t> updates) {
  FENRO_RETURN_IF_ERROR(ask());
  for (Range& r : ranges_) {
    const Matrix slice = aggregators::mean_unchecked(r.views(updates));
    r.aggregate.assign(slice.data(), slice.data() + slice.size());
  }
  return {};
}

Status ShardedRoundData::copy_of(size_t update) {
  FENRO_RETURN_IF_ERROR(ask());
  for (Range& r : ranges_) r.aggregate = r.values[update];
  return {};
}

Result<std::vector<Interval>> ShardedRoundData::distances(std::span<const size_t> updates) {
  FENRO_RETURN_IF_ERROR(ask());
  std::vector<Interval> out;
  for (double sum : sums(updates, true, false)) out.push_back(root_bounds(sum, size_));
  return out;
}

Result<std::vector<double>> ShardedRoundData::exact_distances(std::span<const size_t> updates) {
  return chained_roots(updates, true);
}

}  // namespace fenro::testing
