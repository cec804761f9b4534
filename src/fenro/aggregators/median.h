// Coordinate-wise median.
#ifndef FENRO_AGGREGATORS_MEDIAN_H_
#define FENRO_AGGREGATORS_MEDIAN_H_

#include <span>
#include <vector>

#include "fenro/error/result.h"
#include "fenro/update/pieces.h"
#include "fenro/update/update.h"
#include "fenro/update/validation.h"

namespace fenro::aggregators {

// Returns, per coordinate, the median of the n client values under the stable IEEE order:
// the middle value for odd n, (a + b) * 0.5 in float32 of the two middle values for even n
// (recomputed in double and rounded once when that float32 sum overflows).
// Checks: the shared update validation only; any n >= 1 is accepted.
// Runs on the worker pool; identical for every thread count.
Result<Matrix> median(std::span<const UpdateView> updates);
// The same for a caller that has done part of the update validation already, or wants the
// value scan to ride on the kernel's pass: `validation` says what is still owed.
Result<Matrix> median(std::span<const UpdateView> updates, update::Validation validation);
// The same on updates held in pieces (update/pieces.h): one result per piece, with the bits,
// checks and errors of median on the concatenated updates; every piece's coordinates run in
// one loop on the worker pool.
Result<std::vector<Matrix>> median(const update::Pieces& pieces);

}  // namespace fenro::aggregators

#endif  // FENRO_AGGREGATORS_MEDIAN_H_
