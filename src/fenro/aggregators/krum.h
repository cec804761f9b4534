// Krum and Multi-Krum selection on BFP16 encodings, in exact 64-bit integer arithmetic.
#ifndef FENRO_AGGREGATORS_KRUM_H_
#define FENRO_AGGREGATORS_KRUM_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "fenro/error/result.h"
#include "fenro/update/pieces.h"
#include "fenro/update/update.h"

namespace fenro::aggregators {

// The quorum of Krum and Multi-Krum: 2f + 3 updates, in unsigned 64-bit arithmetic saturating
// at the largest value (f >= 2^63 included). With fewer updates they select nothing.
inline constexpr uint64_t krum_quorum(uint64_t f) {
  return f > (UINT64_MAX - 3) / 2 ? UINT64_MAX : 2 * f + 3;
}

// (index, score) for every update in index order: the saturating sum of its k smallest exact
// squared distances to the others on the BFP16 encodings (all of them when there are fewer than
// k). The encodings are produced chunk by chunk while the scores are summed and never held in
// full. The updates must be validated and of one shape.
using KrumScores = std::vector<std::pair<size_t, int64_t>>;
KrumScores krum_scores(std::span<const UpdateView> updates, size_t k);

// Krum's pick among scores listed in index order: the smallest score, the lowest index on ties.
// `scores` is not empty.
size_t krum_pick(const KrumScores& scores);

// Multi-Krum's picks: the m best indices in selection order, ordered by (score, index), so stable
// by score. 1 <= m <= scores.size().
std::vector<size_t> multi_krum_pick(KrumScores scores, size_t m);

// How many updates Multi-Krum selects among n >= krum_quorum(f): m when given, else the smaller
// of n - 2f - 2 and 3; MultiKrumSelectionTooLarge unless 1 <= m <= n - 2f - 2.
Result<uint64_t> multi_krum_count(uint64_t n, uint64_t f, std::optional<uint64_t> m);

// Krum on the BFP16 encodings of `updates` (encode_bfp16): the index with the smallest score,
// the saturating sum of its n - f - 2 smallest squared distances to the others (lowest index on
// ties), or nullopt with fewer than krum_quorum(f) updates. The encodings are produced chunk by
// chunk while the scores are summed and never held in full.
std::optional<size_t> krum_select(std::span<const UpdateView> updates, size_t f);

// Multi-Krum the same way: the m best indices in selection order (stable by score), or nullopt
// when m = 0, m > n - 2f - 2, or n < krum_quorum(f).
std::optional<std::vector<size_t>> multi_krum_select(std::span<const UpdateView> updates,
                                                     size_t f, size_t m);

// The same three on updates held in pieces (update/pieces.h): the scores, and so the
// selections, of the concatenated updates, bit for bit, without concatenating them; the chunks
// of the encodings are cut from the pieces as the Gram loop asks for them. max_abs[i] is
// update i's largest magnitude (update::validate_pieces), which sets its shared exponent; the
// pieces must have passed that validation.
KrumScores krum_scores(const update::Pieces& pieces, std::span<const float> max_abs, size_t k);
std::optional<size_t> krum_select(const update::Pieces& pieces, std::span<const float> max_abs,
                                  size_t f);
std::optional<std::vector<size_t>> multi_krum_select(const update::Pieces& pieces,
                                                     std::span<const float> max_abs, size_t f,
                                                     size_t m);
// The exact distance of every pair of the concatenated updates' encodings, row-major n x n
// (detail::distances_fused_with's table on the concatenated updates), from the pieces.
std::vector<int64_t> pair_distances(const update::Pieces& pieces, std::span<const float> max_abs);

}  // namespace fenro::aggregators

#endif  // FENRO_AGGREGATORS_KRUM_H_
