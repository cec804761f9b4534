// Coordinate-wise weighted trimmed mean.
#ifndef FENRO_AGGREGATORS_WEIGHTED_TRIMMED_MEAN_H_
#define FENRO_AGGREGATORS_WEIGHTED_TRIMMED_MEAN_H_

#include <span>

#include "fenro/error/result.h"
#include "fenro/update/update.h"

namespace fenro::aggregators {

// Returns, per coordinate, the weighted mean after trimming a weight mass of t * W from each
// end, a value on the boundary keeping the fraction of its weight that is not trimmed.
// Per coordinate, in the stable IEEE order (equal values in client order) and in float64: with
// C_before and C_after the cumulative weights around a value of weight w and W their total in
// that order, L = t * W, the value keeps
//   w - clamp(L - C_before, 0, w) - clamp(C_after - (W - L), 0, w)   (never below 0),
// and the result is float32 of (sum of kept weight * value, from -0.0) / (sum of kept weights),
// both sums in the same order. A zero weight removes its update; with equal weights and an
// integral t * n the kept values are those of trimmed_mean (which sums in float32, so the bits
// may differ).
// Checks, first failure wins: the shared update validation; then t outside [0, 0.5] or NaN
// (InvalidTrimFraction, as trimmed_mean); then the weights (weights.h); then t = 0.5, which
// keeps no weight (InsufficientQuorum need 1, got 0).
// Runs on the worker pool; identical for every thread count.
Result<Matrix> weighted_trimmed_mean(std::span<const UpdateView> updates,
                                     std::span<const float> weights, float trim_fraction);

}  // namespace fenro::aggregators

#endif  // FENRO_AGGREGATORS_WEIGHTED_TRIMMED_MEAN_H_
