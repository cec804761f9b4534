// The L2 norm bound: which bounds are valid, and which updates it lets through.
#ifndef FENRO_VERIFICATION_NORM_BOUND_H_
#define FENRO_VERIFICATION_NORM_BOUND_H_

#include <span>
#include <vector>

#include "fenro/error/result.h"
#include "fenro/update/update.h"

namespace fenro::verification {

// A bound must be finite and > 0: zero of either sign, negative values, infinities and NaN all
// fail, with InvalidNormBound.
Status check_norm_bound(float bound);

// The rule on a measured norm: within the bound when norm <= bound (the bound widened exactly
// to double). Equal passes; a NaN norm is never within.
bool within_norm_bound(double norm, float bound);

// Returns the update's L2 norm (double, squares summed in row-major order from -0.0) when it
// is within the bound. Checks, first failure wins: a non-finite element (NonFiniteValue,
// update 0); check_norm_bound; a norm that is not within the bound (NormBoundExceeded with
// bound and norm).
Result<double> evaluate_norm_bound(const UpdateView& update, float bound);

// The update validation (update/validation.h) and every update's L2 norm, in one parallel pass
// over the values (math::validated_l2_norms_f64): the norms of a round's norm filter, with its
// value scan on the way. Returns one norm per update, or the validation's first failure.
Result<std::vector<double>> validate_and_measure(std::span<const UpdateView> updates);

}  // namespace fenro::verification

#endif  // FENRO_VERIFICATION_NORM_BOUND_H_
