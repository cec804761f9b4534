#include "fenro/pipeline/aggregator.h"

#include <utility>

#include "fenro/verification/norm_bound.h"

namespace fenro::pipeline {

Result<ByzantineAggregator> ByzantineAggregator::create(AggregationMethod method,
                                                        float trim_fraction, float ban_threshold,
                                                        bool adaptive_trim,
                                                        std::optional<float> norm_bound) {
  FENRO_RETURN_IF_ERROR(reputation::check_ban_threshold(ban_threshold));
  if (norm_bound) FENRO_RETURN_IF_ERROR(verification::check_norm_bound(*norm_bound));
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

}  // namespace fenro::pipeline
