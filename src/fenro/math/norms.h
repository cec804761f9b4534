// Norms and distances accumulated in double precision, strictly in row-major element order.
// Vectorised versions work across several updates at once, never across one update's sum, so
// every result has the bits of the sequential sum.
#ifndef FENRO_MATH_NORMS_H_
#define FENRO_MATH_NORMS_H_

#include <span>
#include <vector>

#include "fenro/error/result.h"
#include "fenro/update/update.h"

namespace fenro::math {

// sqrt of the sum over elements, in row-major order from -0.0, of (double(a) - double(b))^2.
// Walks both together and stops when either ends (in row-major element count).
double l2_distance_f64(const UpdateView& a, const UpdateView& b);

// l2_distance_f64(updates[i], reference) for every i, written to out[i].
void l2_distances_f64(std::span<const UpdateView> updates, const UpdateView& reference,
                      double* out);

// sqrt of the sum of double(x)^2 in row-major order from -0.0, for every update.
void l2_norms_f64(std::span<const UpdateView> updates, double* out);

// validate_updates (update/validation.h) and the l2_norms_f64 of every update in one pass: a
// float64 sum of squares of finite float32 values cannot overflow, so an update holds a NaN or
// an infinity exactly when its norm is not finite, and only then are its values searched. Same
// first error as validate_updates.
Result<std::vector<double>> validated_l2_norms_f64(std::span<const UpdateView> updates);

// Distance of every update to a float64 point: sqrt of the row-major sum from -0.0 of
// (double(x) - point[t])^2, written to out[i]. `point` holds one value per element in row-major
// order (rows * cols of the updates, which share one shape). The iterative rules keep their
// iterate in float64 and measure it with this.
void l2_distances_to_point_f64(std::span<const UpdateView> updates, const double* point,
                               double* out);

}  // namespace fenro::math

#endif  // FENRO_MATH_NORMS_H_
