// The configured aggregator: its method, configuration, reputation store, one aggregation
// round, and the post-round reputation update.
#ifndef FENRO_PIPELINE_AGGREGATOR_H_
#define FENRO_PIPELINE_AGGREGATOR_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fenro/audit/audit.h"
#include "fenro/error/result.h"
#include "fenro/reputation/store.h"
#include "fenro/update/update.h"

namespace fenro::pipeline {

struct AggregationMethod {
  enum class Kind { kTrimmedMean, kMedian, kFedAvg, kKrum, kMultiKrum };
  Kind kind = Kind::kTrimmedMean;
  uint64_t f = 0;              // Krum and MultiKrum only
  std::optional<uint64_t> m;   // MultiKrum only

  static AggregationMethod trimmed_mean() { return {Kind::kTrimmedMean, 0, std::nullopt}; }
  static AggregationMethod median() { return {Kind::kMedian, 0, std::nullopt}; }
  static AggregationMethod fed_avg() { return {Kind::kFedAvg, 0, std::nullopt}; }
  static AggregationMethod krum(uint64_t f) { return {Kind::kKrum, f, std::nullopt}; }
  static AggregationMethod multi_krum(uint64_t f, std::optional<uint64_t> m) {
    return {Kind::kMultiKrum, f, m};
  }

  // "TrimmedMean", "Median", "FedAvg", "Krum(3)", "MultiKrum(1, None)", "MultiKrum(2, Some(3))".
  std::string debug_text() const;
  bool operator==(const AggregationMethod&) const = default;
};

// Parses the method text ("trimmed_mean", "median", "fedavg", "krum", "krum:N", "multi_krum",
// "multi_krum:f:m"), byte for byte. On failure returns the message text.
std::variant<AggregationMethod, std::string> parse_method(std::string_view text);

// What a successful round produces besides the aggregate.
struct RoundOutcome {
  audit::RoundMethodRecord method;
  std::vector<audit::AggregationAuditDecision> decisions;  // one per submitted update
  Matrix aggregate;
};

class ByzantineAggregator {
 public:
  // Checks, first failure wins: ban threshold finite and in [0, 1] (InvalidReputationThreshold);
  // a norm bound, when given, finite and > 0 (InvalidNormBound). The trim fraction is stored
  // as given; a negative-zero threshold is stored as +0.
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

  // One aggregation round; returns the aggregate. Only a successful round with client ids
  // changes state (the survivors' reputation scores); a failed round changes nothing.
  Result<Matrix> aggregate_weighted(std::span<const UpdateView> updates,
                                    std::optional<std::span<const std::string_view>> client_ids,
                                    std::optional<std::span<const float>> weights);
  // The round with its audit data.
  Result<RoundOutcome> run(std::span<const UpdateView> updates,
                           std::optional<std::span<const std::string_view>> client_ids,
                           std::optional<std::span<const float>> weights);

  // The method record of a round whose updates were all turned away.
  audit::RoundMethodRecord refused_round_method() const;

  // Moves each client's score by its update's L2 distance from the aggregate: +0.02 below
  // 1.0, -0.08 above 10.0 (strict, in double). Pairs (ids[i], updates[i]) for i below the
  // shorter length. Every distance is computed first: if any is NaN or infinite, fails with
  // NonFiniteReputationDistance for the first such client and changes nothing.
  Status update_reputations(std::span<const std::string_view> client_ids,
                            std::span<const UpdateView> updates, const Matrix& aggregate);

  // The persisted JSON text, and reading it back (failure: the reader's message with its
  // position suffix).
  std::string to_json() const;
  static std::variant<ByzantineAggregator, std::string> from_json(std::string_view text);

 private:
  ByzantineAggregator() = default;

  AggregationMethod method_;
  float trim_fraction_ = 0.0f;
  reputation::ReputationStore reputation_;
  float ban_threshold_ = 0.0f;
  bool adaptive_trim_ = false;
  std::optional<float> norm_bound_;
};

}  // namespace fenro::pipeline

#endif  // FENRO_PIPELINE_AGGREGATOR_H_
