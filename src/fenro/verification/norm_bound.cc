#include "fenro/verification/norm_bound.h"

#include <cmath>

#include "fenro/math/norms.h"
#include "fenro/update/validation.h"

namespace fenro::verification {

Status check_norm_bound(float bound) {
  if (!std::isfinite(bound) || !(bound > 0.0f)) return error::InvalidNormBound{bound};
  return {};
}

bool within_norm_bound(double norm, float bound) {
  // `<=` is false for NaN: a NaN norm exceeds like an infinite one.
  return norm <= static_cast<double>(bound);
}

Result<double> evaluate_norm_bound(const UpdateView& update, float bound) {
  // The element scan comes first: a NaN element is reported even when the bound is invalid.
  FENRO_RETURN_IF_ERROR(update::check_finite(update, 0));
  FENRO_RETURN_IF_ERROR(check_norm_bound(bound));
  double norm = 0.0;
  math::l2_norms_f64({&update, 1}, &norm);
  if (within_norm_bound(norm, bound)) return norm;
  return error::NormBoundExceeded{bound, norm};
}

Result<std::vector<double>> validate_and_measure(std::span<const UpdateView> updates) {
  return math::validated_l2_norms_f64(updates);
}

}  // namespace fenro::verification
