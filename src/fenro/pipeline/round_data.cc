#include "fenro/pipeline/round_data.h"

#include <cassert>
#include <cstring>

#include "fenro/aggregators/fedavg.h"
#include "fenro/aggregators/krum.h"
#include "fenro/aggregators/median.h"
#include "fenro/aggregators/trimmed_mean.h"
#include "fenro/math/norms.h"
#include "fenro/update/validation.h"
#include "fenro/verification/norm_bound.h"

namespace fenro::pipeline {
namespace {

std::vector<Interval> exact_intervals(const std::vector<double>& values) {
  std::vector<Interval> out;
  out.reserve(values.size());
  for (double v : values) out.push_back(Interval::exactly(v));
  return out;
}

// What a kernel still owes of the validation of `views`: the value scan, or nothing.
update::Validation owed_of(std::span<const UpdateView> views, bool values_owed) {
  return values_owed ? update::Validation::of(views) : update::Validation::done();
}

}  // namespace

std::vector<UpdateView> LocalRoundData::views_of(std::span<const size_t> updates) const {
  std::vector<UpdateView> views;
  views.reserve(updates.size());
  for (size_t i : updates) views.push_back(updates_[i]);
  return views;
}

Status LocalRoundData::keep(Result<Matrix> aggregate) {
  if (!aggregate.ok()) return std::move(aggregate).error();
  aggregate_ = std::move(aggregate).value();
  return {};
}

// The norm pass is the fastest scan there is: its loops, vectorised per target, run ahead of
// validate_updates's, and a norm is non-finite exactly when its update holds a non-finite
// value.
Status LocalRoundData::first_non_finite(size_t prefix) {
  auto measured = verification::validate_and_measure(updates_.first(prefix));
  if (!measured.ok()) return std::move(measured).error();
  return {};
}

Result<std::vector<Interval>> LocalRoundData::norms(size_t prefix) {
  auto measured = verification::validate_and_measure(updates_.first(prefix));
  if (!measured.ok()) return std::move(measured).error();
  return exact_intervals(*measured);
}

Result<std::vector<double>> LocalRoundData::exact_norms(std::span<const size_t> updates) {
  const std::vector<UpdateView> views = views_of(updates);
  std::vector<double> out(views.size());
  math::l2_norms_f64(views, out.data());
  return out;
}

Status LocalRoundData::fedavg(std::span<const size_t> updates,
                              std::optional<std::span<const float>> checked_weights,
                              bool values_owed) {
  const std::vector<UpdateView> views = views_of(updates);
  assert(!values_owed || views.size() == updates_.size());
  return keep(aggregators::fedavg(views, checked_weights, owed_of(views, values_owed)));
}

Status LocalRoundData::trimmed_mean(std::span<const size_t> updates, float trim_fraction,
                                    bool values_owed) {
  const std::vector<UpdateView> views = views_of(updates);
  assert(!values_owed || views.size() == updates_.size());
  return keep(aggregators::trimmed_mean(views, trim_fraction, owed_of(views, values_owed)));
}

Status LocalRoundData::median(std::span<const size_t> updates, bool values_owed) {
  const std::vector<UpdateView> views = views_of(updates);
  assert(!values_owed || views.size() == updates_.size());
  return keep(aggregators::median(views, owed_of(views, values_owed)));
}

// The fused path: each cache-sized chunk of the encodings is made when the Gram loop needs it.
Result<KrumScores> LocalRoundData::krum_scores(std::span<const size_t> updates, size_t k) {
  return aggregators::krum_scores(views_of(updates), k);
}

Status LocalRoundData::mean_of(std::span<const size_t> updates) {
  aggregate_ = aggregators::mean_unchecked(views_of(updates));
  return {};
}

Status LocalRoundData::copy_of(size_t update) {
  const UpdateView& u = updates_[update];
  Matrix copy(u.rows, u.cols);
  for (size_t r = 0; r < u.rows; ++r) {
    if (u.cols) std::memcpy(copy.data() + r * u.cols, u.row(r), u.cols * sizeof(float));
  }
  aggregate_ = std::move(copy);
  return {};
}

Result<std::vector<Interval>> LocalRoundData::distances(std::span<const size_t> updates) {
  auto exact = exact_distances(updates);
  if (!exact.ok()) return std::move(exact).error();
  return exact_intervals(*exact);
}

Result<std::vector<double>> LocalRoundData::exact_distances(std::span<const size_t> updates) {
  const std::vector<UpdateView> views = views_of(updates);
  std::vector<double> out(views.size());
  math::l2_distances_f64(views, aggregate_.view(), out.data());
  return out;
}

}  // namespace fenro::pipeline
