// Norms and distances accumulated in double precision, strictly in row-major element order.
// Vectorised versions work across several updates at once, never across one update's sum, so
// every result has the bits of the sequential sum.
#ifndef FENRO_MATH_NORMS_H_
#define FENRO_MATH_NORMS_H_

#include <span>

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

}  // namespace fenro::math

#endif  // FENRO_MATH_NORMS_H_
