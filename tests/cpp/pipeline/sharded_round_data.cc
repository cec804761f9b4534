#include "pipeline/sharded_round_data.h"

#include <algorithm>
#include <cassert>

#include "fenro/aggregators/fedavg.h"
#include "fenro/math/running_sums.h"

namespace fenro::testing {
namespace {

std::vector<pipeline::UpdateShape> shapes_of(std::span<const UpdateView> updates) {
  std::vector<pipeline::UpdateShape> out;
  for (const UpdateView& u : updates) out.push_back({u.rows, u.cols});
  return out;
}

}  // namespace

std::vector<UpdateView> LocalRanges::Range::views(std::span<const size_t> updates) const {
  std::vector<UpdateView> out;
  for (size_t k : updates) out.push_back(UpdateView::dense(values[k].data(), 1, hi - lo));
  return out;
}

LocalRanges::LocalRanges(std::span<const UpdateView> updates, const std::vector<size_t>& cuts) {
  if (updates.empty()) return;
  assert(cuts.front() == 0 && cuts.back() == updates[0].size() &&
         std::is_sorted(cuts.begin(), cuts.end()));
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

Matrix LocalRanges::assembled(pipeline::UpdateShape shape) const {
  Matrix out(shape.rows, shape.cols);
  for (const Range& r : ranges_)
    std::copy(r.aggregate.begin(), r.aggregate.end(), out.data() + r.lo);
  return out;
}

Result<std::vector<std::vector<update::RangeScan>>> LocalRanges::scans(
    std::span<const size_t> updates) {
  std::vector<std::vector<update::RangeScan>> out;
  for (const Range& r : ranges_) out.push_back(pipeline::range_pass::scans(r.views(updates)));
  return out;
}

Result<std::vector<std::vector<double>>> LocalRanges::sums(std::span<const size_t> updates,
                                                           bool distances) {
  std::vector<std::vector<double>> out;
  for (const Range& r : ranges_) {
    std::vector<double> piece(updates.size(), math::kRunningSumStart);
    const UpdateView aggregate = UpdateView::dense(r.aggregate.data(), 1, r.hi - r.lo);
    pipeline::range_pass::continue_sums(r.views(updates), distances ? &aggregate : nullptr,
                                        piece.data());
    out.push_back(std::move(piece));
  }
  return out;
}

Result<std::vector<double>> LocalRanges::chained_sums(std::span<const size_t> updates,
                                                      bool distances) {
  std::vector<double> running(updates.size(), math::kRunningSumStart);
  for (const Range& r : ranges_) {
    const UpdateView aggregate = UpdateView::dense(r.aggregate.data(), 1, r.hi - r.lo);
    pipeline::range_pass::continue_sums(r.views(updates), distances ? &aggregate : nullptr,
                                        running.data());
  }
  return running;
}

Result<std::vector<std::optional<pipeline::RangeNonFinite>>> LocalRanges::kernel(
    const pipeline::RangeKernel& kernel) {
  std::vector<std::optional<pipeline::RangeNonFinite>> out;
  for (Range& r : ranges_) {
    std::optional<pipeline::RangeNonFinite> bad;
    auto slice = pipeline::range_pass::kernel(kernel, r.views(kernel.updates), &bad);
    if (!slice.ok()) return std::move(slice).error();  // a fault the comparison will show
    if (!bad) r.aggregate.assign(slice->data(), slice->data() + slice->size());
    out.push_back(bad);
  }
  return out;
}

Result<std::vector<std::vector<int64_t>>> LocalRanges::gram(
    std::span<const size_t> updates, std::span<const aggregators::detail::BlockScale> scales) {
  std::vector<std::vector<int64_t>> out;
  for (const Range& r : ranges_) {
    out.push_back(pipeline::range_pass::gram(r.views(updates), scales));
  }
  return out;
}

Status LocalRanges::mean_of(std::span<const size_t> updates) {
  for (Range& r : ranges_) {
    const Matrix slice = aggregators::mean_unchecked(r.views(updates));
    r.aggregate.assign(slice.data(), slice.data() + slice.size());
  }
  return {};
}

Status LocalRanges::copy_of(size_t update) {
  for (Range& r : ranges_) r.aggregate = r.values[update];
  return {};
}

Status LocalRanges::point_weighted(size_t slot, std::span<const size_t> updates,
                                   std::span<const double> coeffs, double divisor, bool step) {
  for (Range& r : ranges_) {
    pipeline::range_pass::point_weighted(r.views(updates), coeffs, divisor, step,
                                         r.point(slot).data());
  }
  return {};
}

Result<std::vector<double>> LocalRanges::point_chained_sums(size_t slot,
                                                            std::span<const size_t> updates) {
  std::vector<double> running(updates.size(), math::kRunningSumStart);
  for (Range& r : ranges_) {
    pipeline::range_pass::continue_point_sums(r.views(updates), r.point(slot).data(),
                                              running.data());
  }
  return running;
}

Status LocalRanges::point_slice(size_t slot, bool to_point) {
  for (Range& r : ranges_) {
    std::vector<double>& p = r.point(slot);
    if (to_point) {
      std::copy(r.aggregate.begin(), r.aggregate.end(), p.begin());
    } else {
      r.aggregate.resize(p.size());
      for (size_t t = 0; t < p.size(); ++t) r.aggregate[t] = static_cast<float>(p[t]);
    }
  }
  return {};
}

Result<std::vector<std::vector<double>>> LocalRanges::pair_tables(
    std::span<const size_t> updates) {
  std::vector<std::vector<double>> out;
  for (const Range& r : ranges_) out.push_back(pipeline::range_pass::pair_table(r.views(updates)));
  return out;
}

Result<std::vector<double>> LocalRanges::pair_chained_sums(
    std::span<const size_t> updates, std::span<const std::pair<uint32_t, uint32_t>> pairs) {
  std::vector<double> running(pairs.size(), math::kRunningSumStart);
  for (const Range& r : ranges_) {
    pipeline::range_pass::continue_pair_sums(r.views(updates), pairs, running.data());
  }
  return running;
}

ShardedRoundData::ShardedRoundData(std::span<const UpdateView> updates, std::vector<size_t> cuts)
    : shapes_(shapes_of(updates)), ranges_(updates, cuts), data_(shapes_, cuts, ranges_) {}

Status ShardedRoundData::ask() {
  const size_t call = questions_++;
  if (failure_ && failure_->first == call) return failure_->second;
  return {};
}

Status ShardedRoundData::first_non_finite(size_t prefix) {
  FENRO_RETURN_IF_ERROR(ask());
  return data_.first_non_finite(prefix);
}
Result<std::vector<pipeline::Interval>> ShardedRoundData::norms(size_t prefix) {
  FENRO_RETURN_IF_ERROR(ask());
  return data_.norms(prefix);
}
Result<std::vector<double>> ShardedRoundData::exact_norms(std::span<const size_t> updates) {
  FENRO_RETURN_IF_ERROR(ask());
  return data_.exact_norms(updates);
}
Status ShardedRoundData::fedavg(std::span<const size_t> updates,
                                std::optional<std::span<const float>> checked_weights,
                                bool values_owed) {
  FENRO_RETURN_IF_ERROR(ask());
  return data_.fedavg(updates, checked_weights, values_owed);
}
Status ShardedRoundData::trimmed_mean(std::span<const size_t> updates, float trim_fraction,
                                      bool values_owed) {
  FENRO_RETURN_IF_ERROR(ask());
  return data_.trimmed_mean(updates, trim_fraction, values_owed);
}
Status ShardedRoundData::median(std::span<const size_t> updates, bool values_owed) {
  FENRO_RETURN_IF_ERROR(ask());
  return data_.median(updates, values_owed);
}
Result<pipeline::KrumScores> ShardedRoundData::krum_scores(std::span<const size_t> updates,
                                                           size_t k) {
  FENRO_RETURN_IF_ERROR(ask());
  return data_.krum_scores(updates, k);
}
Status ShardedRoundData::mean_of(std::span<const size_t> updates) {
  FENRO_RETURN_IF_ERROR(ask());
  return data_.mean_of(updates);
}
Status ShardedRoundData::copy_of(size_t update) {
  FENRO_RETURN_IF_ERROR(ask());
  return data_.copy_of(update);
}
Result<std::vector<pipeline::Interval>> ShardedRoundData::distances(
    std::span<const size_t> updates) {
  FENRO_RETURN_IF_ERROR(ask());
  return data_.distances(updates);
}
Result<std::vector<double>> ShardedRoundData::exact_distances(std::span<const size_t> updates) {
  FENRO_RETURN_IF_ERROR(ask());
  return data_.exact_distances(updates);
}

}  // namespace fenro::testing
