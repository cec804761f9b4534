// Bucketing: means of the updates in seeded random buckets.
#ifndef FENRO_PREAGGREGATION_BUCKETING_H_
#define FENRO_PREAGGREGATION_BUCKETING_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fenro/error/result.h"
#include "fenro/update/update.h"
#include "fenro/update/update_stack.h"

namespace fenro::preaggregation {

// The next value of a splitmix64 generator whose state is `state` (advanced in place):
//   state += 0x9E3779B97F4A7C15;  z = state;
//   z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
//   z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
//   return z ^ (z >> 31);
// all in unsigned 64-bit arithmetic (products modulo 2^64).
uint64_t splitmix64_next(uint64_t& state);

// The bucketing permutation of n clients: perm = 0, 1, ..., n - 1; the generator state starts at
// `seed`; for i = n - 1 down to 1, j = splitmix64_next(state) % (i + 1) and perm[i], perm[j] are
// swapped (Fisher-Yates from the last index down; one draw per i, none for i = 0).
std::vector<size_t> bucketing_permutation(size_t n, uint64_t seed);

struct BucketingResult {
  UpdateStack buckets;               // ceil(n / s) updates
  std::vector<size_t> permutation;   // bucketing_permutation(n, seed)
};

// Bucket b holds the clients perm[b * s] ... perm[b * s + s - 1] (the last bucket may hold
// fewer) and yields their mean: the members summed in that order in float64 from -0.0, times
// 1 / count in float64, rounded to float32 (math::average_lists_f64).
// Checks, first failure wins: the shared update validation (validation.h); then s >= 1 ("s = 0 is
// out of range: bucketing needs s >= 1"). Every seed is valid; s above n makes one bucket.
Result<BucketingResult> bucketing(std::span<const UpdateView> updates, uint64_t s, uint64_t seed);

}  // namespace fenro::preaggregation

#endif  // FENRO_PREAGGREGATION_BUCKETING_H_
