#include "fenro/aggregators/trimmed_mean.h"

#include <cmath>
#include <vector>

#include "fenro/aggregators/coordinate_kernels.h"
#include "fenro/simd/cpu.h"

namespace fenro::aggregators {
namespace detail {

Result<Matrix> trimmed_mean_with(std::span<const UpdateView> updates, float trim_fraction,
                                 update::Validation validation, simd::Target target) {
  FENRO_RETURN_IF_ERROR(validation.check_shapes());
  // Written so that NaN fails; -0.0 passes.
  if (!(trim_fraction >= 0.0f && trim_fraction <= 0.5f)) {
    return validation.report(error::InvalidTrimFraction{trim_fraction});
  }
  const size_t n = updates.size();
  // The product is rounded to float32 before rounding up: 0.1f * 10 gives exactly 1, where a
  // double product would give 1.0000000149 and round up to 2.
  const float product = trim_fraction * static_cast<float>(n);
  const size_t k = static_cast<size_t>(std::ceil(product));
  if (n <= 2 * k) return validation.report(error::InsufficientQuorum{1, 0});
  return select_coordinates(updates, k, n - k, Reduce::kMean, target, validation);
}

}  // namespace detail

Result<Matrix> trimmed_mean(std::span<const UpdateView> updates, float trim_fraction) {
  return trimmed_mean(updates, trim_fraction, update::Validation::of(updates));
}

Result<Matrix> trimmed_mean(std::span<const UpdateView> updates, float trim_fraction,
                            update::Validation validation) {
  return detail::trimmed_mean_with(updates, trim_fraction, validation, simd::best_target());
}

Result<std::vector<Matrix>> trimmed_mean(const update::Pieces& pieces, float trim_fraction) {
  const size_t n = pieces.count();
  if (n == 0) return error::EmptyUpdates{};
  // A failed check of the parameters comes after the update validation, as in trimmed_mean_with.
  const auto after_validation = [&](FenroError later) -> FenroError {
    std::vector<float> max_abs(n);
    Status values = update::validate_pieces(pieces, max_abs.data());
    return values.ok() ? std::move(later) : std::move(values).error();
  };
  if (!(trim_fraction >= 0.0f && trim_fraction <= 0.5f)) {
    return after_validation(error::InvalidTrimFraction{trim_fraction});
  }
  const float product = trim_fraction * static_cast<float>(n);
  const size_t k = static_cast<size_t>(std::ceil(product));
  if (n <= 2 * k) return after_validation(error::InsufficientQuorum{1, 0});
  return detail::select_coordinates(pieces, k, n - k, detail::Reduce::kMean, simd::best_target());
}

}  // namespace fenro::aggregators
