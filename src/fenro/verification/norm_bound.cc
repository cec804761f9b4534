#include "fenro/verification/norm_bound.h"

#include <cassert>
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
  if (updates.empty()) return error::EmptyUpdates{};
  size_t same = 1;
  while (same < updates.size() && updates[same].same_shape(updates[0])) ++same;
  std::vector<double> norms(same);
  math::l2_norms_f64(updates.first(same), norms.data());
  // A double sum of squares of finite float32 values cannot overflow, so an update holds a NaN
  // or an infinity exactly when its norm is not finite; only then is the offending element
  // searched, so the first failure in order (update k's shape, then its values, before update
  // k + 1) is the one reported.
  for (size_t k = 0; k < same; ++k) {
    if (!std::isfinite(norms[k])) {
      Status values = update::check_finite(updates[k], k);
      assert(!values.ok());
      return std::move(values).error();
    }
  }
  if (same < updates.size()) return error::DimensionMismatch{};
  return norms;
}

}  // namespace fenro::verification
