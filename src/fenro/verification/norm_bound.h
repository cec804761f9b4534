// L2 norm bound check of one update.
#ifndef FENRO_VERIFICATION_NORM_BOUND_H_
#define FENRO_VERIFICATION_NORM_BOUND_H_

#include "fenro/error/result.h"
#include "fenro/update/update.h"

namespace fenro::verification {

// Returns the update's L2 norm (double, squares summed in row-major order from -0.0) when it
// is <= bound. Checks, first failure wins: a non-finite element (NonFiniteValue, update 0);
// a bound that is not finite or not > 0 (InvalidNormBound); a norm above the bound, or not
// finite (NormBoundExceeded with bound and norm).
Result<double> evaluate_norm_bound(const UpdateView& update, float bound);

}  // namespace fenro::verification

#endif  // FENRO_VERIFICATION_NORM_BOUND_H_
