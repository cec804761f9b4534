#include "fenro/pipeline/aggregator.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>

#include "fenro/aggregators/adaptive.h"
#include "fenro/aggregators/bfp16.h"
#include "fenro/aggregators/fedavg.h"
#include "fenro/aggregators/krum.h"
#include "fenro/aggregators/krum_kernels.h"
#include "fenro/aggregators/median.h"
#include "fenro/aggregators/trimmed_mean.h"
#include "fenro/math/norms.h"
#include "fenro/simd/cpu.h"

namespace fenro::pipeline {
namespace {

constexpr std::string_view kHelp =
    "Use 'trimmed_mean', 'median', 'fedavg', 'krum[:N]', or 'multi_krum[:f:m]'";

// An optional single leading '+', then one or more ASCII digits, fitting in 64 bits.
std::optional<uint64_t> parse_count(std::string_view s) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

std::string quoted_failure(std::string_view what, std::string_view text) {
  std::string out(what);
  out += " '";
  out += text;
  out += "'. ";
  out += kHelp;
  return out;
}

// 2f + 3 in unsigned 64-bit arithmetic, saturating at the largest value.
uint64_t krum_quorum(uint64_t f) {
  if (f > (std::numeric_limits<uint64_t>::max() - 3) / 2) return std::numeric_limits<uint64_t>::max();
  return 2 * f + 3;
}

bool valid_norm_bound(float b) { return std::isfinite(b) && b > 0.0f; }

// validate_updates and every update's L2 norm in one parallel pass. A double sum of squares of
// finite float32 values cannot overflow, so an update holds a NaN or an infinity exactly when
// its norm is not finite; only then is the offending element searched, so the first failure in
// the documented order (update k's shape, then its values, before update k + 1) is reported.
Result<std::vector<double>> validate_with_norms(std::span<const UpdateView> updates) {
  if (updates.empty()) return error::EmptyUpdates{};
  size_t same = 1;
  while (same < updates.size() && updates[same].same_shape(updates[0])) ++same;
  std::vector<double> norms(same);
  math::l2_norms_f64(updates.first(same), norms.data());
  for (size_t k = 0; k < same; ++k) {
    if (!std::isfinite(norms[k])) {
      Status s = update::check_finite(updates[k], k);
      assert(!s.ok());
      return std::move(s).error();
    }
  }
  if (same < updates.size()) return error::DimensionMismatch{};
  return norms;
}

// The round's reward and penalty, as float32 amounts.
constexpr float kCloseReward = 0.02f;
constexpr float kFarPenalty = 0.08f;

}  // namespace

std::string AggregationMethod::debug_text() const {
  switch (kind) {
    case Kind::kTrimmedMean:
      return "TrimmedMean";
    case Kind::kMedian:
      return "Median";
    case Kind::kFedAvg:
      return "FedAvg";
    case Kind::kKrum:
      return "Krum(" + std::to_string(f) + ")";
    case Kind::kMultiKrum:
      return "MultiKrum(" + std::to_string(f) + ", " +
             (m ? "Some(" + std::to_string(*m) + ")" : std::string("None")) + ")";
  }
  return {};
}

std::variant<AggregationMethod, std::string> parse_method(std::string_view text) {
  if (text == "trimmed_mean") return AggregationMethod::trimmed_mean();
  if (text == "median") return AggregationMethod::median();
  if (text == "fedavg") return AggregationMethod::fed_avg();
  if (text == "krum") return AggregationMethod::krum(1);
  if (text == "multi_krum") return AggregationMethod::multi_krum(1, std::nullopt);
  if (text.size() >= 5 && text.substr(0, 5) == "krum:") {
    if (auto f = parse_count(text.substr(5))) return AggregationMethod::krum(*f);
    return quoted_failure("Invalid krum parameter", text);
  }
  constexpr std::string_view kMultiPrefix = "multi_krum:";
  if (text.substr(0, kMultiPrefix.size()) == kMultiPrefix) {
    const std::string_view rest = text.substr(kMultiPrefix.size());
    const size_t colon = rest.find(':');
    if (colon == std::string_view::npos || rest.find(':', colon + 1) != std::string_view::npos) {
      return "Invalid multi_krum parameters '" + std::string(text) +
             "'. Use 'multi_krum' or 'multi_krum:f:m'";
    }
    const std::string_view f_text = rest.substr(0, colon);
    const std::string_view m_text = rest.substr(colon + 1);
    const auto f = parse_count(f_text);
    if (!f) return quoted_failure("Invalid multi_krum f parameter", f_text);
    const auto m = parse_count(m_text);
    if (!m) return quoted_failure("Invalid multi_krum m parameter", m_text);
    return AggregationMethod::multi_krum(*f, *m);
  }
  return quoted_failure("Unknown method", text);
}

Result<ByzantineAggregator> ByzantineAggregator::create(AggregationMethod method,
                                                        float trim_fraction, float ban_threshold,
                                                        bool adaptive_trim,
                                                        std::optional<float> norm_bound) {
  if (!std::isfinite(ban_threshold) || ban_threshold < 0.0f || ban_threshold > 1.0f) {
    return error::InvalidReputationThreshold{ban_threshold};
  }
  if (norm_bound && !valid_norm_bound(*norm_bound)) return error::InvalidNormBound{*norm_bound};
  // max(threshold, +0): a negative zero is stored (and later written) as zero.
  const float stored_threshold = ban_threshold == 0.0f ? 0.0f : ban_threshold;
  return restore(method, trim_fraction, reputation::ReputationStore(), stored_threshold,
                 adaptive_trim, norm_bound);
}

ByzantineAggregator ByzantineAggregator::restore(AggregationMethod method, float trim_fraction,
                                                 reputation::ReputationStore reputation,
                                                 float ban_threshold, bool adaptive_trim,
                                                 std::optional<float> norm_bound) {
  ByzantineAggregator a;
  a.method_ = method;
  a.trim_fraction_ = trim_fraction;
  a.reputation_ = std::move(reputation);
  a.ban_threshold_ = ban_threshold;
  a.adaptive_trim_ = adaptive_trim;
  a.norm_bound_ = norm_bound;
  return a;
}

audit::RoundMethodRecord ByzantineAggregator::refused_round_method() const {
  using Kind = AggregationMethod::Kind;
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
  return audit::record::Median{};
}

Result<Matrix> ByzantineAggregator::aggregate_weighted(
    std::span<const UpdateView> updates,
    std::optional<std::span<const std::string_view>> client_ids,
    std::optional<std::span<const float>> weights) {
  auto outcome = run(updates, client_ids, weights);
  if (!outcome.ok()) return std::move(outcome).error();
  return std::move(outcome.value().aggregate);
}

Result<RoundOutcome> ByzantineAggregator::run(
    std::span<const UpdateView> updates,
    std::optional<std::span<const std::string_view>> client_ids,
    std::optional<std::span<const float>> weights) {
  using Kind = AggregationMethod::Kind;
  // Validation: nothing is built and no state is touched.
  if (weights && method_.kind != Kind::kFedAvg) {
    return error::WeightsRequireFedAvg{method_.debug_text()};
  }
  // The scan for non-finite values rides on a pass that is made anyway: with a norm bound, the
  // one that measures the norms; with nothing to filter (no norm bound, no ban exclusion), the
  // coordinate-wise kernel's own pass over the data, `validation` staying owed until then.
  const bool filtering = norm_bound_ || (client_ids && ban_threshold_ > 0.0f);
  const bool coordinate_wise = method_.kind == Kind::kFedAvg ||
                               method_.kind == Kind::kTrimmedMean || method_.kind == Kind::kMedian;
  update::Validation validation = update::Validation::of(updates);
  std::vector<double> norms;
  if (norm_bound_) {
    auto measured = validate_with_norms(updates);
    if (!measured.ok()) return std::move(measured).error();
    norms = std::move(measured).value();
    validation = update::Validation::done();
  } else if (coordinate_wise && !filtering) {
    FENRO_RETURN_IF_ERROR(validation.check_shapes());
  } else {
    FENRO_RETURN_IF_ERROR(validation.complete());
  }
  // Every later check reports through `validation`, so that an owed non-finite value still
  // comes first.
  const size_t n = updates.size();
  if (client_ids && client_ids->size() != n) {
    return validation.report(error::ClientIdCountMismatch{n, client_ids->size()});
  }
  if (weights) {
    Status checked = aggregators::check_weights(*weights, n);
    if (!checked.ok()) return validation.report(std::move(checked).error());
  }
  if (norm_bound_ && !valid_norm_bound(*norm_bound_)) {
    return validation.report(error::InvalidNormBound{*norm_bound_});
  }

  // Decisions and candidates, in index order. Candidates are indices into the caller's views:
  // filtering copies nothing.
  std::vector<audit::AggregationAuditDecision> decisions(n);
  for (size_t i = 0; i < n; ++i) {
    decisions[i].index = i;
    if (client_ids) decisions[i].client_id = std::string((*client_ids)[i]);
  }
  std::vector<size_t> candidates(n);
  for (size_t i = 0; i < n; ++i) candidates[i] = i;

  // Reputation exclusion (a threshold of 0, negative or NaN excludes nobody). Unknown clients
  // read 0.5 and are not added to the store.
  if (ban_threshold_ > 0.0f && client_ids) {
    std::vector<size_t> kept;
    kept.reserve(candidates.size());
    for (size_t i : candidates) {
      const float score = reputation_.get_score((*client_ids)[i]);
      if (score >= ban_threshold_) {
        kept.push_back(i);
      } else {
        decisions[i].verdict = audit::ExcludedByReputation{score, ban_threshold_};
      }
    }
    candidates = std::move(kept);
  }

  // Norm-bound filter. The updates are known finite and the bound valid, so the only outcome
  // besides "within" is "exceeded"; the norms came with the validation pass, with the bits of
  // the sequential row-major sum.
  if (norm_bound_) {
    const double bound = static_cast<double>(*norm_bound_);
    std::vector<size_t> kept;
    kept.reserve(candidates.size());
    for (size_t i : candidates) {
      if (norms[i] <= bound) {
        kept.push_back(i);
      } else {
        decisions[i].verdict = audit::RejectedByNormBound{*norm_bound_, norms[i]};
      }
    }
    candidates = std::move(kept);
  }

  // The refused round's audit data (its decisions and refused_round_method()) is not offered
  // to callers yet, so nothing is built for it.
  if (candidates.empty()) return error::AllUpdatesRejected{n};

  // Dispatch on the survivors, in candidate order. Owed validation means nothing was filtered:
  // the survivors are the updates themselves.
  const size_t k = candidates.size();
  std::vector<UpdateView> survivors;
  survivors.reserve(k);
  for (size_t i : candidates) survivors.push_back(updates[i]);
  std::vector<float> survivor_weights;
  if (weights) {
    survivor_weights.reserve(k);
    for (size_t i : candidates) survivor_weights.push_back((*weights)[i]);
  }

  audit::RoundMethodRecord record = audit::record::Median{};
  std::optional<Matrix> aggregate;
  switch (method_.kind) {
    case Kind::kFedAvg: {
      auto r = aggregators::fedavg(
          survivors,
          weights ? std::optional<std::span<const float>>(survivor_weights) : std::nullopt,
          validation);
      if (!r.ok()) return std::move(r).error();
      aggregate = std::move(r.value());
      record = audit::record::FedAvg{};
      break;
    }
    case Kind::kTrimmedMean: {
      const float trim =
          adaptive_trim_
              ? aggregators::compute_adaptive_trim(reputation_.scores_in_order(), 0.4f, 0.05f, trim_fraction_)
              : trim_fraction_;
      auto r = aggregators::trimmed_mean(survivors, trim, validation);
      if (!r.ok()) return std::move(r).error();
      aggregate = std::move(r.value());
      record = audit::record::TrimmedMean{trim_fraction_, trim, adaptive_trim_};
      break;
    }
    case Kind::kMedian: {
      auto r = aggregators::median(survivors, validation);
      if (!r.ok()) return std::move(r).error();
      aggregate = std::move(r.value());
      record = audit::record::Median{};
      break;
    }
    case Kind::kKrum: {
      const uint64_t need = krum_quorum(method_.f);
      // Encodes on the fly: the selection equals Krum on encode_bfp16(survivors) without
      // holding the encodings in memory.
      const auto selected = aggregators::krum_kernels::krum_select_fused(survivors, method_.f);
      if (!selected) return error::InsufficientQuorum{need, k};
      const UpdateView& u = survivors[*selected];
      Matrix copy(u.rows, u.cols);
      for (size_t r = 0; r < u.rows; ++r) {
        if (u.cols) std::memcpy(copy.data() + r * u.cols, u.row(r), u.cols * sizeof(float));
      }
      aggregate = std::move(copy);
      record = audit::record::Krum{method_.f};
      break;
    }
    case Kind::kMultiKrum: {
      const uint64_t f = method_.f;
      const uint64_t need = krum_quorum(f);
      if (k < need) return error::InsufficientQuorum{need, k};
      const uint64_t max = k - 2 * f - 2;  // k >= 2f + 3, so no wrap-around
      uint64_t m = std::min<uint64_t>(max, 3);
      if (method_.m) {
        m = *method_.m;
        if (m < 1 || m > max) return error::MultiKrumSelectionTooLarge{k, f, m, max};
      }
      const auto selected = aggregators::krum_kernels::multi_krum_select_fused(survivors, f, m);
      if (!selected) return error::InsufficientQuorum{need, k};
      std::vector<UpdateView> chosen;
      chosen.reserve(selected->size());
      for (size_t i : *selected) chosen.push_back(survivors[i]);
      aggregate = aggregators::mean_unchecked(chosen);
      record = audit::record::MultiKrum{f, method_.m, m};
      break;
    }
  }

  if (client_ids) {
    std::vector<std::string_view> survivor_ids;
    survivor_ids.reserve(k);
    for (size_t i : candidates) survivor_ids.push_back((*client_ids)[i]);
    FENRO_RETURN_IF_ERROR(update_reputations(survivor_ids, survivors, *aggregate));
  }
  return RoundOutcome{std::move(record), std::move(decisions), std::move(*aggregate)};
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
    if (distances[i] < 1.0) {
      reputation_.adjust_unchecked(client_ids[i], kCloseReward);
    } else if (distances[i] > 10.0) {
      reputation_.adjust_unchecked(client_ids[i], -kFarPenalty);
    }
  }
  return {};
}

}  // namespace fenro::pipeline
