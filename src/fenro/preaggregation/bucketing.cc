#include "fenro/preaggregation/bucketing.h"

#include <algorithm>
#include <utility>

#include "fenro/math/means.h"
#include "fenro/update/validation.h"

namespace fenro::preaggregation {

uint64_t splitmix64_next(uint64_t& state) {
  state += 0x9E3779B97F4A7C15ull;
  uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::vector<size_t> bucketing_permutation(size_t n, uint64_t seed) {
  std::vector<size_t> perm(n);
  for (size_t i = 0; i < n; ++i) perm[i] = i;
  uint64_t state = seed;
  for (size_t i = n; i-- > 1;) {
    const size_t j = static_cast<size_t>(splitmix64_next(state) % (i + 1));
    std::swap(perm[i], perm[j]);
  }
  return perm;
}

Result<BucketingResult> bucketing(std::span<const UpdateView> updates, uint64_t s, uint64_t seed) {
  // The values are checked while the means read them; the value scan runs only when one is not
  // finite, or before the bucket size check reports its failure, so the first failing check in
  // order still decides the error.
  update::Validation validation = update::Validation::of(updates);
  FENRO_RETURN_IF_ERROR(validation.check_shapes());
  if (s < 1) return validation.report(error::CountParameterOutOfRange{"bucketing", "s", s, 1});
  const size_t n = updates.size();
  // ceil(n / s) without forming n + s - 1, which could wrap for a huge s.
  const size_t count = n / s + (n % s != 0 ? 1 : 0);
  BucketingResult result{UpdateStack(count, updates[0].rows, updates[0].cols),
                         bucketing_permutation(n, seed)};
  std::vector<uint32_t> offsets(count + 1), members(n);
  for (size_t b = 0; b < count; ++b) offsets[b] = static_cast<uint32_t>(b * s);
  offsets[count] = static_cast<uint32_t>(n);
  for (size_t i = 0; i < n; ++i) members[i] = static_cast<uint32_t>(result.permutation[i]);
  if (!math::average_lists_f64(updates, offsets, members, result.buckets)) {
    FENRO_RETURN_IF_ERROR(validation.complete());
  }
  return result;
}

}  // namespace fenro::preaggregation
