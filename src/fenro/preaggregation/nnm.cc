#include "fenro/preaggregation/nnm.h"

#include <cassert>

#include "fenro/math/f64_kernels.h"
#include "fenro/parallel/pool.h"
#include "fenro/update/validation.h"

namespace fenro::preaggregation {
namespace detail {

Result<NnmResult> nnm_with(std::span<const UpdateView> updates, uint64_t f, simd::Target target) {
  // The values are checked by the ranking (through its sums of squares); the value scan runs
  // only when one is not finite, or before the count check reports its failure, so the first
  // failing check in order still decides the error.
  update::Validation validation = update::Validation::of(updates);
  FENRO_RETURN_IF_ERROR(validation.check_shapes());
  const size_t n = updates.size();
  if (!(f < n && f < n - f)) {
    return validation.report(error::ByzantineCountOutOfRange{error::CountRule::kNnm, f, n});
  }
  const size_t keep = n - f;
  auto neighbours = math::detail::nearest_with(updates, keep, target);
  if (!neighbours) {
    Status values = validation.complete();
    assert(!values.ok());
    return std::move(values).error();
  }
  NnmResult result{UpdateStack(n, updates[0].rows, updates[0].cols), std::move(*neighbours)};
  std::vector<uint32_t> offsets(n + 1);
  for (size_t i = 0; i <= n; ++i) offsets[i] = static_cast<uint32_t>(i * keep);
  (void)math::detail::average_lists_with(updates, offsets, result.neighbours, result.mixed, target);
  return result;
}

}  // namespace detail

Result<NnmResult> nnm(std::span<const UpdateView> updates, uint64_t f) {
  return detail::nnm_with(updates, f, simd::best_target());
}

}  // namespace fenro::preaggregation
