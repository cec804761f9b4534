#include "fenro/verification/norm_bound.h"

#include <cmath>

#include "fenro/math/norms.h"
#include "fenro/update/validation.h"

namespace fenro::verification {

Result<double> evaluate_norm_bound(const UpdateView& update, float bound) {
  // The element scan comes first: a NaN element is reported even when the bound is invalid.
  FENRO_RETURN_IF_ERROR(fenro::update::check_finite(update, 0));
  if (!std::isfinite(bound) || !(bound > 0.0f)) return error::InvalidNormBound{bound};
  // One update has one sequential sum: its order is fixed, so there is nothing to vectorise.
  double norm = 0.0;
  math::l2_norms_f64({&update, 1}, &norm);
  // `<=` is false for NaN: a NaN norm exceeds like an infinite one. Equal to the bound passes.
  if (norm <= static_cast<double>(bound)) return norm;
  return error::NormBoundExceeded{bound, norm};
}

}  // namespace fenro::verification
