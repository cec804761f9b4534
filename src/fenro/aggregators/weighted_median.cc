#include "fenro/aggregators/weighted_median.h"

#include "fenro/aggregators/weights.h"
#include "fenro/update/validation.h"

namespace fenro::aggregators {

Result<Matrix> weighted_median(std::span<const UpdateView> updates, std::span<const float> weights) {
  FENRO_RETURN_IF_ERROR(update::validate_updates(updates));
  FENRO_RETURN_IF_ERROR(detail::check_rule_weights("weighted_median", weights, updates.size()));
  Matrix out(updates[0].rows, updates[0].cols);
  detail::for_each_sorted_coordinate(updates, [&](size_t c, std::span<const detail::SortedValue> v) {
    double total = 0.0;
    for (const auto& e : v) total += static_cast<double>(weights[e.client]);
    double cum = 0.0;
    for (const auto& e : v) {
      cum += static_cast<double>(weights[e.client]);
      if (2.0 * cum >= total && weights[e.client] > 0.0f) {
        out.data()[c] = e.value;
        return;
      }
    }
  });
  return out;
}

}  // namespace fenro::aggregators
