#include "fenro/aggregators/median.h"

#include "fenro/aggregators/coordinate_kernels.h"
#include "fenro/simd/cpu.h"

namespace fenro::aggregators {
namespace detail {

Result<Matrix> median_with(std::span<const UpdateView> updates, update::Validation validation,
                           simd::Target target) {
  FENRO_RETURN_IF_ERROR(validation.check_shapes());
  const size_t n = updates.size();
  const size_t h = n / 2;
  if (n % 2 == 1) return select_coordinates(updates, h, h + 1, Reduce::kPick, target, validation);
  return select_coordinates(updates, h - 1, h + 1, Reduce::kHalfSum, target, validation);
}

}  // namespace detail

Result<Matrix> median(std::span<const UpdateView> updates) {
  return median(updates, update::Validation::of(updates));
}

Result<Matrix> median(std::span<const UpdateView> updates, update::Validation validation) {
  return detail::median_with(updates, validation, simd::best_target());
}

Result<std::vector<Matrix>> median(const update::Pieces& pieces) {
  const size_t n = pieces.count();
  if (n == 0) return error::EmptyUpdates{};
  const size_t h = n / 2;
  const simd::Target target = simd::best_target();
  if (n % 2 == 1) return detail::select_coordinates(pieces, h, h + 1, detail::Reduce::kPick, target);
  return detail::select_coordinates(pieces, h - 1, h + 1, detail::Reduce::kHalfSum, target);
}

}  // namespace fenro::aggregators
