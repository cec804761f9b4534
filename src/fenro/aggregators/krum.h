// Krum and Multi-Krum selection on BFP16 encodings, in exact 64-bit integer arithmetic.
#ifndef FENRO_AGGREGATORS_KRUM_H_
#define FENRO_AGGREGATORS_KRUM_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fenro/update/update.h"

namespace fenro::aggregators {

// The quorum of Krum and Multi-Krum: 2f + 3 updates, in unsigned 64-bit arithmetic saturating
// at the largest value (f >= 2^63 included). With fewer updates they select nothing.
inline constexpr uint64_t krum_quorum(uint64_t f) {
  return f > (UINT64_MAX - 3) / 2 ? UINT64_MAX : 2 * f + 3;
}

// Krum on the BFP16 encodings of `updates` (encode_bfp16): the index with the smallest score,
// the saturating sum of its n - f - 2 smallest squared distances to the others (lowest index on
// ties), or nullopt with fewer than krum_quorum(f) updates. The encodings are produced chunk by
// chunk while the scores are summed and never held in full.
std::optional<size_t> krum_select(std::span<const UpdateView> updates, size_t f);

// Multi-Krum the same way: the m best indices in selection order (stable by score), or nullopt
// when m = 0, m > n - 2f - 2, or n < krum_quorum(f).
std::optional<std::vector<size_t>> multi_krum_select(std::span<const UpdateView> updates,
                                                     size_t f, size_t m);

}  // namespace fenro::aggregators

#endif  // FENRO_AGGREGATORS_KRUM_H_
