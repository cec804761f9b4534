// Coordinate-wise trimmed mean.
#ifndef FENRO_AGGREGATORS_TRIMMED_MEAN_H_
#define FENRO_AGGREGATORS_TRIMMED_MEAN_H_

#include <span>
#include <vector>

#include "fenro/error/result.h"
#include "fenro/update/pieces.h"
#include "fenro/update/update.h"
#include "fenro/update/validation.h"

namespace fenro::aggregators {

// Returns, per coordinate, the mean of the n client values after dropping the k smallest and
// the k largest, k = ceil(float32(t * float32(n))).
// Checks, first failure wins: the shared update validation; t outside [0, 0.5] or NaN
// (InvalidTrimFraction); n <= 2k (InsufficientQuorum need 1, got 0).
// Per coordinate the values are ordered by a stable IEEE less-than (equal values and -0.0/+0.0
// keep client order), the kept ones summed in ascending order from -0.0 in float32, and the sum
// divided by float32(n - 2k). A sum that overflows from finite inputs is recomputed in double in
// the same order and rounded once. Runs on the worker pool; identical for every thread count.
Result<Matrix> trimmed_mean(std::span<const UpdateView> updates, float trim_fraction);
// The same for a caller that has done part of the update validation already, or wants the
// value scan to ride on the kernel's pass: `validation` says what is still owed.
Result<Matrix> trimmed_mean(std::span<const UpdateView> updates, float trim_fraction,
                            update::Validation validation);

// The same on updates held in pieces (update/pieces.h): one result per piece, with the bits,
// checks and errors of trimmed_mean on the concatenated updates; every piece's coordinates run
// in one loop on the worker pool.
Result<std::vector<Matrix>> trimmed_mean(const update::Pieces& pieces, float trim_fraction);

}  // namespace fenro::aggregators

#endif  // FENRO_AGGREGATORS_TRIMMED_MEAN_H_
