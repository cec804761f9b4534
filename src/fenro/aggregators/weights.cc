#include "fenro/aggregators/weights.h"

#include <cmath>
#include <string>

namespace fenro::aggregators::detail {

Status check_rule_weights(std::string_view rule, std::span<const float> weights, size_t n) {
  if (weights.size() != n) return error::DimensionMismatch{};
  bool any_positive = false;
  for (size_t i = 0; i < weights.size(); ++i) {
    const float w = weights[i];
    if (!std::isfinite(w)) return error::NonFiniteWeight{w, i};
    if (w < 0.0f) return error::NegativeWeight{std::string(rule), w, i};
    any_positive = any_positive || w > 0.0f;
  }
  if (!any_positive) return error::ZeroWeights{std::string(rule)};
  return {};
}

}  // namespace fenro::aggregators::detail
