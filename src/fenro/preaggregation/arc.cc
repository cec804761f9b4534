#include "fenro/preaggregation/arc.h"

#include <algorithm>
#include <numeric>

#include "fenro/math/norms.h"
#include "fenro/preaggregation/clip.h"

namespace fenro::preaggregation {

Result<ArcResult> arc(std::span<const UpdateView> updates, uint64_t f) {
  auto norms = math::validated_l2_norms_f64(updates);
  if (!norms.ok()) return std::move(norms).error();
  const size_t n = updates.size();
  if (!(f < n && f < n - f)) return error::ByzantineCountOutOfRange{error::CountRule::kArc, f, n};
  ArcResult result;
  // 2 f (n - f) < n^2 needs up to 128 bits; the quotient is below n.
  __extension__ typedef unsigned __int128 U128;
  result.k = static_cast<uint64_t>(U128{2} * f * (n - f) / n);
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  const std::vector<double>& norm = norms.value();
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return norm[a] > norm[b]; });
  result.threshold = norm[order[result.k]];
  result.factors.assign(n, 1.0);
  result.clipped_indices.assign(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(result.k));
  for (size_t i : result.clipped_indices) {
    if (norm[i] > result.threshold) result.factors[i] = result.threshold / norm[i];
  }
  result.clipped = detail::scale_updates(updates, result.factors);
  result.norms = std::move(norms.value());
  return result;
}

}  // namespace fenro::preaggregation
