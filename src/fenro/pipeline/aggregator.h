// The configured aggregator: its method and configuration, its reputation store, and one
// aggregation round from validation to the reputation update.
#ifndef FENRO_PIPELINE_AGGREGATOR_H_
#define FENRO_PIPELINE_AGGREGATOR_H_

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "fenro/audit/audit.h"
#include "fenro/error/result.h"
#include "fenro/pipeline/method.h"
#include "fenro/pipeline/round_data.h"
#include "fenro/reputation/store.h"
#include "fenro/update/update.h"

namespace fenro::pipeline {

class ByzantineAggregator {
 public:
  // Checks, first failure wins: ban threshold finite and in [0, 1] (InvalidReputationThreshold);
  // a norm bound, when given, valid (verification::check_norm_bound). The trim fraction is
  // stored as given; a negative-zero threshold is stored as +0.
  static Result<ByzantineAggregator> create(AggregationMethod method, float trim_fraction,
                                            float ban_threshold, bool adaptive_trim,
                                            std::optional<float> norm_bound);
  // Rebuilds an aggregator from persisted values, without any check or normalisation.
  static ByzantineAggregator restore(AggregationMethod method, float trim_fraction,
                                     reputation::ReputationStore reputation, float ban_threshold,
                                     bool adaptive_trim, std::optional<float> norm_bound);

  const AggregationMethod& method() const { return method_; }
  float trim_fraction() const { return trim_fraction_; }
  const reputation::ReputationStore& reputation() const { return reputation_; }
  reputation::ReputationStore& reputation() { return reputation_; }
  float ban_threshold() const { return ban_threshold_; }
  bool adaptive_trim() const { return adaptive_trim_; }
  std::optional<float> norm_bound() const { return norm_bound_; }

  // One aggregation round (round.cc); returns the aggregate, a new matrix of the updates' shape.
  // Update i belongs to client_ids[i] and has weight weights[i] when those are given.
  //
  // Checks, first failure wins:
  //  1. weights with a method other than FedAvg: WeightsRequireFedAvg with the debug text;
  //  2. the update validation (update/validation.h);
  //  3. a client id count other than the update count: ClientIdCountMismatch;
  //  4. the weights (aggregators::check_weights);
  //  5. the norm bound, on every round (verification::check_norm_bound);
  //  6. every update turned away: AllUpdatesRejected with the number submitted;
  //  7. the method: Krum and Multi-Krum need aggregators::krum_quorum(f) survivors
  //     (InsufficientQuorum), Multi-Krum's m must lie in 1 ..= survivors - 2f - 2
  //     (MultiKrumSelectionTooLarge; without m it is the smaller of that and 3); then the
  //     kernel's own checks;
  //  8. a non-finite distance in the reputation update (NonFiniteReputationDistance).
  // Turned away are, in this order: with client ids and a ban threshold above 0, the updates of
  // clients scoring strictly below it (an unknown client reads 0.5 and stays unknown); with a
  // norm bound, the remaining updates whose norm is not within it (never checked for an
  // excluded one). The survivors keep their order.
  //
  // Only a successful round with client ids changes state: each survivor's score moves by its
  // distance from the aggregate (update_reputations). A failed round changes nothing.
  //
  // `audit`, when given, receives the round's audit: on success, the method record of what was
  // applied and one decision per submitted update; when every update was turned away, the
  // refused record (configuration only) and the decisions. Any other failure leaves it as it
  // was. Without it, nothing of the audit (decisions, client id copies) is built.
  Result<Matrix> aggregate_weighted(std::span<const UpdateView> updates,
                                    std::optional<std::span<const std::string_view>> client_ids,
                                    std::optional<std::span<const float>> weights,
                                    audit::RoundAudit* audit = nullptr);

  // The same round over updates that `data` holds, wherever it keeps them (round_data.h): the
  // same checks in the same order, the same state changes and audit, with the aggregate left
  // in `data`. An error of `data`'s own is returned as it is, and changes nothing.
  Status run_round(RoundData& data, std::optional<std::span<const std::string_view>> client_ids,
                   std::optional<std::span<const float>> weights,
                   audit::RoundAudit* audit = nullptr);

  // Moves each client's score by its update's L2 distance from the aggregate: +kCloseReward
  // below kCloseDistance, -kFarPenalty above kFarDistance (policy.h; strict, in double).
  // Pairs (ids[i], updates[i]) for i below the shorter length. Every distance is computed
  // first: if any is NaN or infinite, fails with NonFiniteReputationDistance for the first such
  // client and changes nothing.
  Status update_reputations(std::span<const std::string_view> client_ids,
                            std::span<const UpdateView> updates, const Matrix& aggregate);

  // The persisted JSON text, and reading it back (failure: the reader's message with its
  // position suffix). aggregator_json.cc.
  std::string to_json() const;
  static std::variant<ByzantineAggregator, std::string> from_json(std::string_view text);

 private:
  ByzantineAggregator() = default;

  // The configured method on the candidates of a round (round.cc).
  Result<audit::RoundMethodRecord> apply_method(RoundData& data,
                                                std::span<const size_t> candidates,
                                                std::optional<std::span<const float>> weights,
                                                bool values_owed) const;
  // The reputation rule of update_reputations on distances that decide it: each interval is
  // exact, or lies on one side of every threshold of the rule.
  Status apply_distances(std::span<const std::string_view> client_ids,
                         std::span<const Interval> distances);

  // The method record of a round whose updates were all turned away: the configuration, with
  // nothing the round would have chosen.
  audit::RoundMethodRecord refused_round_method() const;

  AggregationMethod method_;
  float trim_fraction_ = 0.0f;
  reputation::ReputationStore reputation_;
  float ban_threshold_ = 0.0f;
  bool adaptive_trim_ = false;
  std::optional<float> norm_bound_;
};

}  // namespace fenro::pipeline

#endif  // FENRO_PIPELINE_AGGREGATOR_H_
