// One aggregation round of the configured aggregator: the checks of its input, the filters, the
// method on the survivors, the reputation update, and the audit for a caller that asks for it.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>
#include <vector>

#include "fenro/aggregators/adaptive.h"
#include "fenro/aggregators/fedavg.h"
#include "fenro/aggregators/krum_rule.h"
#include "fenro/aggregators/median.h"
#include "fenro/aggregators/trimmed_mean.h"
#include "fenro/math/norms.h"
#include "fenro/pipeline/aggregator.h"
#include "fenro/pipeline/policy.h"
#include "fenro/simd/cpu.h"
#include "fenro/update/validation.h"
#include "fenro/verification/norm_bound.h"

namespace fenro::pipeline {
namespace {

using Kind = AggregationMethod::Kind;

// What the method made of the survivors.
struct Applied {
  Matrix aggregate;
  audit::RoundMethodRecord record;
};

// Runs the configured method on the survivors (in candidate order, with their weights when
// given, already checked). `validation` is what the round still owes of the update checks.
Result<Applied> apply_method(const ByzantineAggregator& agg, std::span<const UpdateView> survivors,
                             std::optional<std::span<const float>> weights,
                             update::Validation validation) {
  const AggregationMethod& method = agg.method();
  switch (method.kind) {
    case Kind::kFedAvg: {
      auto r = aggregators::fedavg(survivors, weights, validation);
      if (!r.ok()) return std::move(r).error();
      return Applied{std::move(r).value(), audit::record::FedAvg{}};
    }
    case Kind::kTrimmedMean: {
      const float trim = agg.adaptive_trim()
                             ? aggregators::compute_adaptive_trim(
                                   agg.reputation().scores_in_order(), kAdaptiveLowScore,
                                   kAdaptiveMargin, agg.trim_fraction())
                             : agg.trim_fraction();
      auto r = aggregators::trimmed_mean(survivors, trim, validation);
      if (!r.ok()) return std::move(r).error();
      return Applied{std::move(r).value(),
                     audit::record::TrimmedMean{agg.trim_fraction(), trim, agg.adaptive_trim()}};
    }
    case Kind::kMedian: {
      auto r = aggregators::median(survivors, validation);
      if (!r.ok()) return std::move(r).error();
      return Applied{std::move(r).value(), audit::record::Median{}};
    }
    case Kind::kKrum: {
      auto r = aggregators::krum(survivors, method.f, validation);
      if (!r.ok()) return std::move(r).error();
      return Applied{std::move(r->aggregate), audit::record::Krum{method.f}};
    }
    case Kind::kMultiKrum: {
      auto r = aggregators::multi_krum(survivors, method.f, method.m, validation);
      if (!r.ok()) return std::move(r).error();
      const uint64_t m = r->selected.size();
      return Applied{std::move(r->aggregate), audit::record::MultiKrum{method.f, method.m, m}};
    }
  }
  return error::EmptyUpdates{};  // not reached: every kind is handled above
}

}  // namespace

Result<Matrix> ByzantineAggregator::aggregate_weighted(
    std::span<const UpdateView> updates,
    std::optional<std::span<const std::string_view>> client_ids,
    std::optional<std::span<const float>> weights, audit::RoundAudit* audit) {
  // Checks: nothing is built and no state is touched. A FENRO_SIMD that cannot be honoured
  // fails every round first: the kernels would have no target to run on.
  if (!simd::target_error().empty()) return error::InvalidSimdTarget{simd::target_error()};
  if (weights && method_.kind != Kind::kFedAvg) {
    return error::WeightsRequireFedAvg{method_.debug_text()};
  }
  const bool excluding = client_ids && ban_threshold_ > 0.0f;  // 0, negative or NaN: nobody
  // With nothing to filter, a coordinate-wise method's kernel scans the values for non-finite
  // ones in its own pass over them: `validation` stays owed until then. Otherwise they are
  // scanned on the pass that measures every norm: the norm filter needs the norms, and its
  // loops, vectorised per target, scan faster than validate_updates.
  update::Validation validation = update::Validation::of(updates);
  std::vector<double> norms;
  if (method_.coordinate_wise() && !norm_bound_ && !excluding) {
    FENRO_RETURN_IF_ERROR(validation.check_shapes());
  } else {
    auto measured = verification::validate_and_measure(updates);
    if (!measured.ok()) return std::move(measured).error();
    norms = std::move(measured).value();
    validation = update::Validation::done();
  }
  // Every later failure is reported through `validation`, so an owed non-finite value still
  // comes first.
  const size_t n = updates.size();
  if (client_ids && client_ids->size() != n) {
    return validation.report(error::ClientIdCountMismatch{n, client_ids->size()});
  }
  if (weights) {
    Status checked = aggregators::check_weights(*weights, n);
    if (!checked.ok()) return validation.report(std::move(checked).error());
  }
  if (norm_bound_) {
    Status bound = verification::check_norm_bound(*norm_bound_);
    if (!bound.ok()) return validation.report(std::move(bound).error());
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
    std::erase_if(candidates, [&](size_t i) {
      if (verification::within_norm_bound(norms[i], *norm_bound_)) return false;
      if (audit) decisions[i].verdict = audit::RejectedByNormBound{*norm_bound_, norms[i]};
      return true;
    });
  }
  if (candidates.empty()) {
    if (audit) *audit = audit::RoundAudit{refused_round_method(), std::move(decisions)};
    return error::AllUpdatesRejected{n};
  }

  // The method on the survivors, in candidate order. While `validation` is owed nothing was
  // filtered: the survivors are the updates themselves.
  std::vector<UpdateView> survivors;
  survivors.reserve(candidates.size());
  for (size_t i : candidates) survivors.push_back(updates[i]);
  std::vector<float> survivor_weights;
  if (weights) {
    survivor_weights.reserve(candidates.size());
    for (size_t i : candidates) survivor_weights.push_back((*weights)[i]);
  }
  auto applied = apply_method(
      *this, survivors,
      weights ? std::optional<std::span<const float>>(survivor_weights) : std::nullopt,
      validation);
  if (!applied.ok()) return std::move(applied).error();

  if (client_ids) {
    std::vector<std::string_view> survivor_ids;
    survivor_ids.reserve(candidates.size());
    for (size_t i : candidates) survivor_ids.push_back((*client_ids)[i]);
    FENRO_RETURN_IF_ERROR(update_reputations(survivor_ids, survivors, applied->aggregate));
  }
  if (audit) *audit = audit::RoundAudit{std::move(applied->record), std::move(decisions)};
  return std::move(applied->aggregate);
}

Status ByzantineAggregator::update_reputations(std::span<const std::string_view> client_ids,
                                               std::span<const UpdateView> updates,
                                               const Matrix& aggregate) {
  const size_t p = std::min(client_ids.size(), updates.size());
  // Every distance first, so that a failing round changes no score at all.
  std::vector<double> distances(p);
  math::l2_distances_f64(updates.first(p), aggregate.view(), distances.data());
  for (size_t i = 0; i < p; ++i) {
    if (!std::isfinite(distances[i])) {
      return error::NonFiniteReputationDistance{distances[i], std::string(client_ids[i])};
    }
  }
  for (size_t i = 0; i < p; ++i) {
    if (distances[i] < kCloseDistance) {
      reputation_.adjust_unchecked(client_ids[i], kCloseReward);
    } else if (distances[i] > kFarDistance) {
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
