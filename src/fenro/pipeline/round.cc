// One aggregation round of the configured aggregator: the checks of its input, the filters, the
// method on the survivors, the reputation update, and the audit for a caller that asks for it.
// The round runs over a RoundData, which only runs the passes over the values that it asks for.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>
#include <vector>

#include "fenro/aggregators/adaptive.h"
#include "fenro/aggregators/fedavg.h"
#include "fenro/aggregators/krum.h"
#include "fenro/math/norms.h"
#include "fenro/pipeline/aggregator.h"
#include "fenro/pipeline/policy.h"
#include "fenro/simd/cpu.h"
#include "fenro/verification/norm_bound.h"

namespace fenro::pipeline {
namespace {

using Kind = AggregationMethod::Kind;

// The answer of `test`, a comparison with a threshold (monotone in the value), for every value
// `v` holds; nullopt when the interval straddles the threshold.
template <class Test>
std::optional<bool> decide(const Interval& v, const Test& test) {
  const bool lo = test(v.lo), hi = test(v.hi);
  if (lo != hi) return std::nullopt;
  return lo;
}

bool is_finite(double x) { return std::isfinite(x); }
bool is_close(double distance) { return distance < kCloseDistance; }
bool is_far(double distance) { return distance > kFarDistance; }

// Replaces the intervals of `values` (values[t] belongs to update updates[t]) that leave a
// decision open, `open(v)`, by the exact values, asked of `exact` in one request.
template <class Open, class Exact>
Status settle(std::span<Interval> values, std::span<const size_t> updates, const Open& open,
              const Exact& exact) {
  std::vector<size_t> positions, which;
  for (size_t t = 0; t < values.size(); ++t) {
    if (!open(values[t])) continue;
    positions.push_back(t);
    which.push_back(updates[t]);
  }
  if (which.empty()) return {};
  auto settled = exact(std::span<const size_t>(which));
  if (!settled.ok()) return std::move(settled).error();
  for (size_t t = 0; t < positions.size(); ++t) {
    values[positions[t]] = Interval::exactly((*settled)[t]);
  }
  return {};
}

// Whether a distance interval leaves the reputation rule open: its finiteness, or its value
// when it is not finite (the error names it), or either of the two comparisons.
bool distance_open(const Interval& v) {
  if (v.is_exact()) return false;
  const std::optional<bool> finite = decide(v, is_finite);
  return !finite || !*finite || !decide(v, is_close) || !decide(v, is_far);
}

}  // namespace

// Runs the configured method on the candidates (in order, with their weights when given,
// already checked) and returns its record; `data` keeps the aggregate. `values_owed`: the
// value scan has not run, and the candidates are all updates.
Result<audit::RoundMethodRecord> ByzantineAggregator::apply_method(
    RoundData& data, std::span<const size_t> candidates,
    std::optional<std::span<const float>> weights, bool values_owed) const {
  const uint64_t k = candidates.size();
  switch (method_.kind) {
    case Kind::kFedAvg:
      FENRO_RETURN_IF_ERROR(data.fedavg(candidates, weights, values_owed));
      return audit::RoundMethodRecord(audit::record::FedAvg{});
    case Kind::kTrimmedMean: {
      const float trim = adaptive_trim_ ? aggregators::compute_adaptive_trim(
                                              reputation_.scores_in_order(), kAdaptiveLowScore,
                                              kAdaptiveMargin, trim_fraction_)
                                        : trim_fraction_;
      FENRO_RETURN_IF_ERROR(data.trimmed_mean(candidates, trim, values_owed));
      return audit::RoundMethodRecord(
          audit::record::TrimmedMean{trim_fraction_, trim, adaptive_trim_});
    }
    case Kind::kMedian:
      FENRO_RETURN_IF_ERROR(data.median(candidates, values_owed));
      return audit::RoundMethodRecord(audit::record::Median{});
    case Kind::kKrum: {
      const uint64_t f = method_.f;
      const uint64_t need = aggregators::krum_quorum(f);
      if (k < need) return error::InsufficientQuorum{need, k};
      auto scores = data.krum_scores(candidates, k - f - 2);  // k >= 2f + 3: no wrap-around
      if (!scores.ok()) return std::move(scores).error();
      FENRO_RETURN_IF_ERROR(data.copy_of(candidates[aggregators::krum_pick(*scores)]));
      return audit::RoundMethodRecord(audit::record::Krum{f});
    }
    case Kind::kMultiKrum: {
      const uint64_t f = method_.f;
      const uint64_t need = aggregators::krum_quorum(f);
      if (k < need) return error::InsufficientQuorum{need, k};
      auto count = aggregators::multi_krum_count(k, f, method_.m);
      if (!count.ok()) return std::move(count).error();
      const uint64_t m = *count;
      auto scores = data.krum_scores(candidates, k - f - 2);
      if (!scores.ok()) return std::move(scores).error();
      std::vector<size_t> chosen = aggregators::multi_krum_pick(std::move(scores).value(), m);
      for (size_t& position : chosen) position = candidates[position];
      FENRO_RETURN_IF_ERROR(data.mean_of(chosen));
      return audit::RoundMethodRecord(audit::record::MultiKrum{f, method_.m, m});
    }
  }
  return error::EmptyUpdates{};  // not reached: every kind is handled above
}

Result<Matrix> ByzantineAggregator::aggregate_weighted(
    std::span<const UpdateView> updates,
    std::optional<std::span<const std::string_view>> client_ids,
    std::optional<std::span<const float>> weights, audit::RoundAudit* audit) {
  LocalRoundData data(updates);
  FENRO_RETURN_IF_ERROR(run_round(data, client_ids, weights, audit));
  return data.take_aggregate();
}

Status ByzantineAggregator::run_round(RoundData& data,
                                      std::optional<std::span<const std::string_view>> client_ids,
                                      std::optional<std::span<const float>> weights,
                                      audit::RoundAudit* audit) {
  // Checks: nothing is built and no state is touched. A FENRO_SIMD that cannot be honoured
  // fails every round first: the kernels would have no target to run on.
  if (!simd::target_error().empty()) return error::InvalidSimdTarget{simd::target_error()};
  if (weights && method_.kind != Kind::kFedAvg) {
    return error::WeightsRequireFedAvg{method_.debug_text()};
  }
  const size_t n = data.count();
  if (n == 0) return error::EmptyUpdates{};
  data.check_aggregate_fits();
  // Updates [0, same) share update 0's shape: only their values are read before a mismatch.
  size_t same = 1;
  while (same < n && data.shape(same) == data.shape(0)) ++same;
  const bool excluding = client_ids && ban_threshold_ > 0.0f;  // 0, negative or NaN: nobody
  // With nothing to filter, a coordinate-wise method's kernel scans the values for non-finite
  // ones in its own pass over them: the scan stays owed until then. Otherwise they are scanned
  // on the pass that measures every norm when there is a norm filter, or on a scan of their own.
  bool values_owed = false;
  std::vector<Interval> norms;
  if (method_.coordinate_wise() && !norm_bound_ && !excluding) {
    values_owed = true;
  } else if (norm_bound_) {
    auto measured = data.norms(same);
    if (!measured.ok()) return std::move(measured).error();
    norms = std::move(measured).value();
  } else {
    FENRO_RETURN_IF_ERROR(data.first_non_finite(same));
  }
  if (same < n) {
    if (values_owed) FENRO_RETURN_IF_ERROR(data.first_non_finite(same));
    return error::DimensionMismatch{};
  }
  // Every later failure is reported through `report`, so an owed non-finite value still comes
  // first.
  auto report = [&](FenroError later) -> FenroError {
    if (!values_owed) return later;
    values_owed = false;
    Status scan = data.first_non_finite(n);
    return scan.ok() ? std::move(later) : std::move(scan).error();
  };
  if (client_ids && client_ids->size() != n) {
    return report(error::ClientIdCountMismatch{n, client_ids->size()});
  }
  if (weights) {
    Status checked = aggregators::check_weights(*weights, n);
    if (!checked.ok()) return report(std::move(checked).error());
  }
  if (norm_bound_) {
    Status bound = verification::check_norm_bound(*norm_bound_);
    if (!bound.ok()) return report(std::move(bound).error());
  }

  // Filters. Candidates are indices into the caller's list: filtering copies no update.
  std::vector<audit::AggregationAuditDecision> decisions;
  if (audit) {
    decisions.resize(n);
    for (size_t i = 0; i < n; ++i) {
      decisions[i].index = i;
      if (client_ids) decisions[i].client_id = std::string((*client_ids)[i]);
    }
  }
  std::vector<size_t> candidates(n);
  std::iota(candidates.begin(), candidates.end(), size_t{0});
  if (excluding) {
    // Unknown clients read 0.5 and are not added to the store.
    std::erase_if(candidates, [&](size_t i) {
      const float score = reputation_.get_score((*client_ids)[i]);
      if (score >= ban_threshold_) return false;
      if (audit) decisions[i].verdict = audit::ExcludedByReputation{score, ban_threshold_};
      return true;
    });
  }
  if (norm_bound_) {
    const float bound = *norm_bound_;
    auto within = [bound](double norm) { return verification::within_norm_bound(norm, bound); };
    std::vector<Interval> measured;
    measured.reserve(candidates.size());
    for (size_t i : candidates) measured.push_back(norms[i]);
    // Exact norms where the bound is undecided, and where the audit records a rejected one.
    FENRO_RETURN_IF_ERROR(settle(
        measured, candidates,
        [&](const Interval& v) {
          const std::optional<bool> ok = decide(v, within);
          return !ok || (!*ok && audit && !v.is_exact());
        },
        [&](std::span<const size_t> which) { return data.exact_norms(which); }));
    std::vector<size_t> kept;
    kept.reserve(candidates.size());
    for (size_t t = 0; t < candidates.size(); ++t) {
      if (*decide(measured[t], within)) {
        kept.push_back(candidates[t]);
      } else if (audit) {
        decisions[candidates[t]].verdict = audit::RejectedByNormBound{bound, measured[t].lo};
      }
    }
    candidates = std::move(kept);
  }
  if (candidates.empty()) {
    if (audit) *audit = audit::RoundAudit{refused_round_method(), std::move(decisions)};
    return error::AllUpdatesRejected{n};
  }

  // The method on the survivors, in candidate order. While the scan is owed nothing was
  // filtered: the survivors are all the updates.
  std::vector<float> survivor_weights;
  if (weights) {
    survivor_weights.reserve(candidates.size());
    for (size_t i : candidates) survivor_weights.push_back((*weights)[i]);
  }
  auto record =
      apply_method(data, candidates,
                   weights ? std::optional<std::span<const float>>(survivor_weights) : std::nullopt,
                   values_owed);
  if (!record.ok()) return std::move(record).error();

  if (client_ids) {
    auto measured = data.distances(candidates);
    if (!measured.ok()) return std::move(measured).error();
    std::vector<Interval> distances = std::move(measured).value();
    FENRO_RETURN_IF_ERROR(
        settle(distances, candidates, distance_open,
               [&](std::span<const size_t> which) { return data.exact_distances(which); }));
    std::vector<std::string_view> survivor_ids;
    survivor_ids.reserve(candidates.size());
    for (size_t i : candidates) survivor_ids.push_back((*client_ids)[i]);
    FENRO_RETURN_IF_ERROR(apply_distances(survivor_ids, distances));
  }
  if (audit) *audit = audit::RoundAudit{std::move(record).value(), std::move(decisions)};
  return {};
}

Status ByzantineAggregator::update_reputations(std::span<const std::string_view> client_ids,
                                               std::span<const UpdateView> updates,
                                               const Matrix& aggregate) {
  const size_t p = std::min(client_ids.size(), updates.size());
  std::vector<double> distances(p);
  math::l2_distances_f64(updates.first(p), aggregate.view(), distances.data());
  std::vector<Interval> exact;
  exact.reserve(p);
  for (double d : distances) exact.push_back(Interval::exactly(d));
  return apply_distances(client_ids.first(p), exact);
}

Status ByzantineAggregator::apply_distances(std::span<const std::string_view> client_ids,
                                            std::span<const Interval> distances) {
  // Every distance first, so that a failing round changes no score at all.
  for (size_t i = 0; i < distances.size(); ++i) {
    if (!*decide(distances[i], is_finite)) {
      return error::NonFiniteReputationDistance{distances[i].lo, std::string(client_ids[i])};
    }
  }
  for (size_t i = 0; i < distances.size(); ++i) {
    if (*decide(distances[i], is_close)) {
      reputation_.adjust_unchecked(client_ids[i], kCloseReward);
    } else if (*decide(distances[i], is_far)) {
      reputation_.adjust_unchecked(client_ids[i], -kFarPenalty);
    }
  }
  return {};
}

audit::RoundMethodRecord ByzantineAggregator::refused_round_method() const {
  switch (method_.kind) {
    case Kind::kTrimmedMean:
      return audit::record::TrimmedMean{trim_fraction_, std::nullopt, adaptive_trim_};
    case Kind::kMedian:
      return audit::record::Median{};
    case Kind::kFedAvg:
      return audit::record::FedAvg{};
    case Kind::kKrum:
      return audit::record::Krum{method_.f};
    case Kind::kMultiKrum:
      return audit::record::MultiKrum{method_.f, method_.m, std::nullopt};
  }
  return audit::record::Median{};  // not reached
}

}  // namespace fenro::pipeline
