#include "fenro/preaggregation/clip.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "fenro/math/norms.h"
#include "fenro/parallel/pool.h"

namespace fenro::preaggregation {
namespace detail {

UpdateStack scale_updates(std::span<const UpdateView> updates, std::span<const double> factors) {
  const size_t n = updates.size(), rows = updates[0].rows, cols = updates[0].cols;
  UpdateStack out(n, rows, cols);
  // Tasks of whole rows, about 256 KB of output each.
  const size_t rows_per_task = std::max<size_t>(1, (size_t{1} << 16) / std::max<size_t>(cols, 1));
  const size_t tasks_per_update = (rows + rows_per_task - 1) / rows_per_task;
  parallel::parallel_for(n * tasks_per_update, 1, [&](size_t begin, size_t end) {
    for (size_t task = begin; task < end; ++task) {
      const size_t i = task / tasks_per_update;
      const size_t r0 = (task % tasks_per_update) * rows_per_task;
      const size_t r1 = std::min(rows, r0 + rows_per_task);
      const float factor = static_cast<float>(factors[i]);
      for (size_t r = r0; r < r1; ++r) {
        const float* src = updates[i].row(r);
        float* dst = out.update(i) + r * cols;
        if (factors[i] == 1.0) {
          std::memcpy(dst, src, cols * sizeof(float));
        } else {
          for (size_t c = 0; c < cols; ++c) dst[c] = src[c] * factor;
        }
      }
    }
  });
  return out;
}

}  // namespace detail

Result<ClipResult> clip(std::span<const UpdateView> updates, double c) {
  auto norms = math::validated_l2_norms_f64(updates);
  if (!norms.ok()) return std::move(norms).error();
  if (!(std::isfinite(c) && c > 0.0)) {
    return error::RealParameterOutOfRange{"clip", "c", c, error::RealRange::kFinitePositive};
  }
  std::vector<double> factors(updates.size());
  for (size_t i = 0; i < factors.size(); ++i) {
    factors[i] = norms.value()[i] > c ? c / norms.value()[i] : 1.0;
  }
  UpdateStack clipped = detail::scale_updates(updates, factors);
  return ClipResult{std::move(clipped), std::move(norms.value()), std::move(factors)};
}

}  // namespace fenro::preaggregation
