// Centered clipping.
#ifndef FENRO_AGGREGATORS_CENTERED_CLIPPING_H_
#define FENRO_AGGREGATORS_CENTERED_CLIPPING_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "fenro/aggregators/point_passes.h"
#include "fenro/error/result.h"
#include "fenro/update/pieces.h"
#include "fenro/update/update.h"

namespace fenro::aggregators {

struct CenteredClippingResult {
  Matrix aggregate;
  // Of the last iteration, per update: ||x_i - v|| before the step, and the factor
  // min(1, tau / ||x_i - v||) its deviation was scaled by (1 for a zero distance).
  std::vector<double> distances;
  std::vector<double> factors;
};

// Starting from v0 = `center` (typically the previous round's aggregate) or, without one, the
// coordinate-wise median exactly as median() computes it, takes `iterations` steps
//   v <- v + (1/n) sum_i (x_i - v) * min(1, tau / ||x_i - v||)
// where an update at distance zero contributes nothing and tau = +inf makes a step the plain
// mean. v is kept in float64: per element the clipped deviations factor_i * (x_i - v) are summed
// in client order from +0.0, divided by n and added to v; the result is v rounded once to
// float32. Distances are l2_distances_to_point_f64 (row-major sequential float64 sums).
// Checks, first failure wins: the shared update validation (validation.h); tau > 0 (NaN refused,
// +inf allowed: "tau = 0 is out of range: centered_clipping needs tau > 0 (inf allowed)");
// iterations >= 1 ("iterations = 0 is out of range: centered_clipping needs iterations >= 1");
// the center's shape (CenterShapeMismatch), then its values in row-major order
// (NonFiniteCenterValue, "Non-finite value NaN in center at [0, 1]").
// Each step reads every update twice; extra memory one float64 vector of the update's size.
Result<CenteredClippingResult> centered_clipping(std::span<const UpdateView> updates, double tau,
                                                 uint64_t iterations,
                                                 std::optional<UpdateView> center);
// The same on updates held in pieces (update/pieces.h): the bits, distances, factors and errors
// of the concatenated updates, whose aggregate (1 x total elements) it returns; `center` is of
// that concatenated shape. The update validation runs first, as one pass (validate_pieces).
Result<CenteredClippingResult> centered_clipping(const update::Pieces& pieces, double tau,
                                                 uint64_t iterations,
                                                 std::optional<UpdateView> center);

// The steps themselves, on the points of `points`: point 0 holds v0 on entry and the result, in
// float64, on return. `complete()` is run when a distance is not finite, to report the NaN or
// infinity behind it; when it does not fail, the steps go on.
struct CenteredClippingSteps {
  std::vector<double> distances;  // as CenteredClippingResult's
  std::vector<double> factors;
};
Result<CenteredClippingSteps> centered_clipping_steps(PointPasses& points, double tau,
                                                      uint64_t iterations,
                                                      const std::function<Status()>& complete);

}  // namespace fenro::aggregators

#endif  // FENRO_AGGREGATORS_CENTERED_CLIPPING_H_
