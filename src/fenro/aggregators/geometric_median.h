// Geometric median by the smoothed Weiszfeld iteration.
#ifndef FENRO_AGGREGATORS_GEOMETRIC_MEDIAN_H_
#define FENRO_AGGREGATORS_GEOMETRIC_MEDIAN_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "fenro/aggregators/point_passes.h"
#include "fenro/error/result.h"
#include "fenro/update/pieces.h"
#include "fenro/update/update.h"

namespace fenro::aggregators {

struct GeometricMedianResult {
  Matrix aggregate;
  uint64_t iterations = 0;  // Weiszfeld steps taken (0: the weighted mean was returned)
  double objective = 0.0;   // sum of w_i * ||z - x_i|| at the returned iterate z
};

// The point z minimising sum_i w_i ||z - x_i|| (w_i = 1 without weights), approximated in
// float64 by the smoothed Weiszfeld iteration and returned rounded to float32:
//  - z0 is the weighted mean: per element, sum of w_i * x_i in client order from +0.0, divided
//    by W (the weights summed in client order);
//  - each step sets z <- sum_i beta_i x_i / sum_i beta_i with beta_i = w_i / max(nu, ||z - x_i||),
//    the sums in client order (per element, from +0.0);
//  - after each step the objective F = sum_i w_i ||z - x_i|| (client order) is compared with the
//    previous one; the iteration stops after max_iter steps, when F fell by less than tol times
//    its previous value (an increase stops too), or when F is 0 (every weighted update equals z,
//    which no step can improve);
//  - the iterate with the smallest objective seen is returned, the earliest on equal objectives.
// Norms ||z - x_i|| are l2_distances_to_point_f64 (row-major sequential float64 sums). Updates
// of zero weight take no part at all. When the betas overflow or underflow (nu tiny against the
// weights), they are computed as w_i * (d_min / max(nu, d_i)) instead, the same step up to one
// rounding per beta.
// Checks, first failure wins: the shared update validation (validation.h); the weights when given
// (weights.h: count, NaN or infinity, negative, all zero); nu finite and > 0; tol finite and
// >= 0 (RealParameterOutOfRange, e.g. "nu = 0 is out of range: geometric_median needs a
// finite nu > 0"). Any max_iter is accepted (0 returns the weighted mean).
// Each step reads every update twice (the weighted sum, then the distances); extra memory two
// or three float64 vectors of the update's size.
Result<GeometricMedianResult> geometric_median(std::span<const UpdateView> updates,
                                               std::optional<std::span<const float>> weights,
                                               double nu, double tol, uint64_t max_iter);
// The same on updates held in pieces (update/pieces.h): the bits, iterations, objective and
// errors of the concatenated updates, whose aggregate (1 x total elements) it returns. The
// update validation runs first, as one pass (validate_pieces).
Result<GeometricMedianResult> geometric_median(const update::Pieces& pieces,
                                               std::optional<std::span<const float>> weights,
                                               double nu, double tol, uint64_t max_iter);

// The iteration itself, on the points of `points` (whose updates are those taking part, with
// weights `w`, all > 0), as described above: point 0 becomes z0, and each step writes the next
// iterate into a slot other than those of the best and the current one (slots 0 to 2 only).
// `complete()` is run when the objective at z0 is not finite, to report the NaN or infinity
// behind it; when it does not fail, the iteration goes on. Returns the slot of the iterate
// with the smallest objective, the steps taken and that objective.
struct WeiszfeldRun {
  size_t best = 0;
  uint64_t iterations = 0;
  double objective = 0.0;
};
Result<WeiszfeldRun> weiszfeld(PointPasses& points, std::span<const double> w, double nu,
                               double tol, uint64_t max_iter,
                               const std::function<Status()>& complete);

}  // namespace fenro::aggregators

#endif  // FENRO_AGGREGATORS_GEOMETRIC_MEDIAN_H_
