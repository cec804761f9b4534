#include "fenro/aggregators/adaptive.h"

#include <cstddef>

namespace fenro::aggregators {

float compute_adaptive_trim(std::span<const float> scores, float low_threshold, float margin,
                            float base_trim) {
  if (scores.empty()) return base_trim;
  constexpr float kCeiling = 0.49f;
  // With the floor above the ceiling (or NaN) there is no valid clamp; hand the configured
  // fraction back so the trimmed-mean kernel rejects it with its own message rather than
  // aggregating silently with a fraction nobody configured.
  if (!(base_trim <= kCeiling)) return base_trim;
  size_t low = 0;
  for (float s : scores) low += s < low_threshold ? 1 : 0;  // NaN and equal are not low
  const float ratio = static_cast<float>(low) / static_cast<float>(scores.size());
  const float x = margin + ratio;
  if (x < base_trim) return base_trim;
  if (x > kCeiling) return kCeiling;
  return x;
}

}  // namespace fenro::aggregators
