// Krum and Multi-Krum selection on BFP16 encodings, in exact 64-bit integer arithmetic.
#ifndef FENRO_AGGREGATORS_KRUM_H_
#define FENRO_AGGREGATORS_KRUM_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "fenro/aggregators/bfp16.h"

namespace fenro::aggregators {

// The quorum of Krum and Multi-Krum: 2f + 3 updates, in unsigned 64-bit arithmetic saturating
// at the largest value (f >= 2^63 included). With fewer updates they select nothing.
inline constexpr uint64_t krum_quorum(uint64_t f) {
  return f > (UINT64_MAX - 3) / 2 ? UINT64_MAX : 2 * f + 3;
}

// Squared distance of two encodings in units of 2^(2 * smaller exponent), saturating at
// INT64_MAX; INT64_MAX for different lengths or exponents 16 or more apart.
int64_t bfp16_distance(const Bfp16Vec& a, const Bfp16Vec& b);

// (i, score of i) for every i in ascending order; the score is the saturating sum of the k
// smallest distances from i to the others (all of them when there are fewer than k). Mantissas
// must lie in -32767..32767, as the encoder produces them (the vector paths rely on it).
std::vector<std::pair<size_t, int64_t>> compute_krum_scores_bfp16(std::span<const Bfp16Vec> encoded,
                                                                  size_t k);

// The index with the smallest score (lowest index on ties) with k = n - f - 2, or nullopt when
// n < 2f + 3 (saturating).
std::optional<size_t> aggregate_krum_bfp16(std::span<const Bfp16Vec> encoded, size_t f);

// The m best indices in selection order (stable by score), or nullopt when m = 0,
// m > n - 2f - 2, or n < 2f + 3.
std::optional<std::vector<size_t>> aggregate_multi_krum_bfp16(std::span<const Bfp16Vec> encoded,
                                                              size_t f, size_t m);

}  // namespace fenro::aggregators

#endif  // FENRO_AGGREGATORS_KRUM_H_
