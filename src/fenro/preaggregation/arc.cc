#include "fenro/preaggregation/arc.h"

#include <algorithm>
#include <numeric>

#include "fenro/math/norms.h"
#include "fenro/preaggregation/clip.h"

namespace fenro::preaggregation {

Result<ArcDecision> arc_decide(std::vector<double> norms, uint64_t f) {
  ArcDecision result;
  const size_t n = norms.size();
  if (!(f < n && f < n - f)) return error::ByzantineCountOutOfRange{error::CountRule::kArc, f, n};
  // 2 f (n - f) < n^2 needs up to 128 bits; the quotient is below n.
  __extension__ typedef unsigned __int128 U128;
  result.k = static_cast<uint64_t>(U128{2} * f * (n - f) / n);
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return norms[a] > norms[b]; });
  result.threshold = norms[order[result.k]];
  result.factors.assign(n, 1.0);
  result.clipped_indices.assign(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(result.k));
  for (size_t i : result.clipped_indices) {
    if (norms[i] > result.threshold) result.factors[i] = result.threshold / norms[i];
  }
  result.norms = std::move(norms);
  return result;
}

Result<ArcResult> arc(std::span<const UpdateView> updates, uint64_t f) {
  auto norms = math::validated_l2_norms_f64(updates);
  if (!norms.ok()) return std::move(norms).error();
  auto decided = arc_decide(std::move(norms).value(), f);
  if (!decided.ok()) return std::move(decided).error();
  ArcResult result;
  static_cast<ArcDecision&>(result) = std::move(decided).value();
  result.clipped = detail::scale_updates(updates, result.factors);
  return result;
}

}  // namespace fenro::preaggregation
