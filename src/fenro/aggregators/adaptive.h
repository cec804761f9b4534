// Adaptive trim fraction from the reputation scores.
#ifndef FENRO_AGGREGATORS_ADAPTIVE_H_
#define FENRO_AGGREGATORS_ADAPTIVE_H_

#include <span>

namespace fenro::aggregators {

// Returns base_trim unchanged for no scores; otherwise x = margin + c / N in float32 (c the
// scores strictly below `low_threshold`, N all scores), clamped to [base_trim, 0.49]. When
// base_trim is NaN or above 0.49 the clamp bounds would be inverted: base_trim is returned
// unchanged, so the trimmed-mean kernel reports the invalid fraction itself.
float compute_adaptive_trim(std::span<const float> scores, float low_threshold, float margin,
                            float base_trim);

}  // namespace fenro::aggregators

#endif  // FENRO_AGGREGATORS_ADAPTIVE_H_
