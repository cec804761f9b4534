// Means of lists of updates and weighted sums of updates, in float64 in a fixed order. The
// pre-aggregators mix updates with them, the iterative rules take their steps with them.
#ifndef FENRO_MATH_MEANS_H_
#define FENRO_MATH_MEANS_H_

#include <cstdint>
#include <span>

#include "fenro/update/update.h"
#include "fenro/update/update_stack.h"

namespace fenro::math {

// Writes into update r of `out` (out.count() == offsets.size() - 1, the updates' shape) the mean
// of the updates members[offsets[r] .. offsets[r + 1]), each list non-empty with members < n:
// per element, float32 of (the float64 sum of the members' values in list order, from -0.0)
// times 1 / count in float64 (a product: within one float64 rounding of the quotient, exact for
// power-of-two counts, and much cheaper than a vector division). The caller checks shapes and
// values.
// The elements are processed in coordinate chunks that fit in L2 cache together with the chunk
// of every update, so each input is read from memory once whatever the lists; outputs with
// identical lists are computed once and copied. Identical bits on every target and thread count.
// Returns false when some value of some update (member or not) is NaN or infinite: the means
// are then meaningless, and the caller reports the first such value by validation.
bool average_lists_f64(std::span<const UpdateView> updates, std::span<const uint32_t> offsets,
                       std::span<const uint32_t> members, UpdateStack& out);

// out[t] = sum over updates k in index order, from +0.0, of coeffs[k] * (double(x_k[t]) -
// base[t]) for every row-major element t; a null `base` reads as zeros (the plain weighted sum),
// and coefficients equal to zero are skipped. `out` and `base` hold rows * cols doubles.
void weighted_sum_f64(std::span<const UpdateView> updates, std::span<const double> coeffs,
                      const double* base, double* out);

}  // namespace fenro::math

#endif  // FENRO_MATH_MEANS_H_
