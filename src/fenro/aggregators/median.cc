#include "fenro/aggregators/median.h"

#include "fenro/aggregators/coordinate_kernels.h"
#include "fenro/simd/cpu.h"

namespace fenro::aggregators {
namespace detail {

Result<Matrix> median_with(std::span<const UpdateView> updates, simd::Target target,
                         Updates state) {
  const size_t n = updates.size();
  const size_t h = n / 2;
  if (n % 2 == 1) return select_coordinates(updates, h, h + 1, Reduce::kPick, target, state);
  return select_coordinates(updates, h - 1, h + 1, Reduce::kHalfSum, target, state);
}

}  // namespace detail

Result<Matrix> median(std::span<const UpdateView> updates) {
  return detail::median_with(updates, simd::best_target());
}

}  // namespace fenro::aggregators
