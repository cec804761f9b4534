#include "fenro/aggregators/weighted_trimmed_mean.h"

#include <algorithm>

#include "fenro/aggregators/weights.h"
#include "fenro/update/validation.h"

namespace fenro::aggregators {

Result<Matrix> weighted_trimmed_mean(std::span<const UpdateView> updates,
                                     std::span<const float> weights, float trim_fraction) {
  FENRO_RETURN_IF_ERROR(update::validate_updates(updates));
  // Written so that NaN fails; -0.0 passes.
  if (!(trim_fraction >= 0.0f && trim_fraction <= 0.5f)) {
    return error::InvalidTrimFraction{trim_fraction};
  }
  FENRO_RETURN_IF_ERROR(
      detail::check_rule_weights("weighted_trimmed_mean", weights, updates.size()));
  if (trim_fraction == 0.5f) return error::InsufficientQuorum{1, 0};
  const double t = static_cast<double>(trim_fraction);
  Matrix out(updates[0].rows, updates[0].cols);
  detail::for_each_sorted_coordinate(updates, [&](size_t c, std::span<const detail::SortedValue> v) {
    double total = 0.0;
    for (const auto& e : v) total += static_cast<double>(weights[e.client]);
    const double cut = t * total;
    double before = 0.0, sum = -0.0, kept_total = 0.0;
    for (const auto& e : v) {
      const double w = static_cast<double>(weights[e.client]);
      const double after = before + w;
      const double kept = w - std::clamp(cut - before, 0.0, w) -
                          std::clamp(after - (total - cut), 0.0, w);
      before = after;
      if (!(kept > 0.0)) continue;
      sum += kept * static_cast<double>(e.value);
      kept_total += kept;
    }
    out.data()[c] = static_cast<float>(sum / kept_total);
  });
  return out;
}

}  // namespace fenro::aggregators
