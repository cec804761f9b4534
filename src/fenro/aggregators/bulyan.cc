#include "fenro/aggregators/bulyan.h"

#include <algorithm>
#include <limits>

#include "fenro/aggregators/krum_kernels.h"
#include "fenro/aggregators/meamed_kernels.h"
#include "fenro/update/validation.h"

namespace fenro::aggregators {
namespace detail {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

// Sums of non-negative terms: the saturating running sum is min(exact sum, MAX) in any order.
int64_t add_sat(int64_t a, int64_t b) { return a > kMax - b ? kMax : a + b; }

}  // namespace

std::vector<size_t> bulyan_selection(const std::vector<int64_t>& dist, size_t n, size_t f) {
  const size_t theta = n - 2 * f;
  std::vector<size_t> remaining(n), selected;
  for (size_t i = 0; i < n; ++i) remaining[i] = i;
  selected.reserve(theta);
  std::vector<int64_t> row;
  while (selected.size() < theta) {
    const size_t left = remaining.size();
    size_t best = 0;
    if (left > 1) {
      const size_t k = left > f + 3 ? left - f - 2 : 1;
      int64_t best_score = kMax;
      for (size_t a = 0; a < left; ++a) {
        row.clear();
        for (size_t b = 0; b < left; ++b) {
          if (b != a) row.push_back(dist[remaining[a] * n + remaining[b]]);
        }
        std::nth_element(row.begin(), row.begin() + static_cast<std::ptrdiff_t>(k - 1), row.end());
        int64_t score = 0;
        for (size_t t = 0; t < k; ++t) score = add_sat(score, row[t]);
        // Strictly smaller only, and `remaining` ascends: the lowest index wins ties.
        if (a == 0 || score < best_score) {
          best = a;
          best_score = score;
        }
      }
    }
    selected.push_back(remaining[best]);
    remaining.erase(remaining.begin() + static_cast<std::ptrdiff_t>(best));
  }
  return selected;
}

Result<BulyanResult> bulyan_with(std::span<const UpdateView> updates, uint64_t f,
                                 simd::Target target) {
  // The encoding pass behind the distances sees on the vector targets whether every value is
  // finite; the value scan runs only when it cannot tell, or before the count check reports its
  // failure, so the first failing check in order still decides the error.
  update::Validation validation = update::Validation::of(updates);
  FENRO_RETURN_IF_ERROR(validation.check_shapes());
  const size_t n = updates.size();
  // n >= 4f + 3, without forming 4f + 3.
  if (n < 3 || f > (n - 3) / 4) {
    return validation.report(error::ByzantineCountOutOfRange{error::CountRule::kBulyan, f, n});
  }
  const PairDistances dist = distances_fused_with(updates, target);
  if (!dist.finite) FENRO_RETURN_IF_ERROR(validation.complete());
  BulyanResult result;
  result.selected = bulyan_selection(dist.table, n, f);
  std::vector<size_t> chosen = result.selected;
  std::sort(chosen.begin(), chosen.end());
  std::vector<UpdateView> subset;
  subset.reserve(chosen.size());
  for (size_t i : chosen) subset.push_back(updates[i]);
  auto aggregate = mean_around_median_with(subset, chosen.size() - 2 * f,
                                           update::Validation::done(), target);
  if (!aggregate.ok()) return std::move(aggregate).error();
  result.aggregate = std::move(aggregate.value());
  return result;
}

}  // namespace detail

Result<BulyanResult> bulyan(std::span<const UpdateView> updates, uint64_t f) {
  return detail::bulyan_with(updates, f, simd::best_target());
}

}  // namespace fenro::aggregators
