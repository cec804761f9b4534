// Coordinate-wise weighted median.
#ifndef FENRO_AGGREGATORS_WEIGHTED_MEDIAN_H_
#define FENRO_AGGREGATORS_WEIGHTED_MEDIAN_H_

#include <span>

#include "fenro/error/result.h"
#include "fenro/update/update.h"

namespace fenro::aggregators {

// Returns, per coordinate, the smallest value at which the cumulative weight reaches half the
// total: walking the values in the stable IEEE order (equal values in client order), the first
// whose cumulative weight C satisfies 2 C >= W, with C and the total W summed in float64 in that
// same order. The value is returned as sent (a -0.0 stays -0.0). A zero weight removes its
// update; equal weights give the lower middle value for an even count (not the mean of the two
// middle values that median() returns).
// Checks, first failure wins: the shared update validation (validation.h); then the weights
// (weights.h: count, NaN or infinity, negative, all zero).
// Runs on the worker pool; identical for every thread count.
Result<Matrix> weighted_median(std::span<const UpdateView> updates, std::span<const float> weights);

}  // namespace fenro::aggregators

#endif  // FENRO_AGGREGATORS_WEIGHTED_MEDIAN_H_
