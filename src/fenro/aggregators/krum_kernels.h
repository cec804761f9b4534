// Internals of the Krum scores: the per-target integer dot-product tile, the score computation
// with a chosen target and memory cap (tests compare every target and both the Gram-table and
// the row-tile arrangement against the per-client reference), the fused path that encodes on
// the fly, and Krum on materialised encodings, the reference the fused selections equal.
#ifndef FENRO_AGGREGATORS_KRUM_KERNELS_H_
#define FENRO_AGGREGATORS_KRUM_KERNELS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "fenro/aggregators/bfp16.h"
#include "fenro/simd/cpu.h"
#include "fenro/update/update.h"

namespace fenro::aggregators::detail {

// Squared distance of two encodings in units of 2^(2 * smaller exponent), saturating at
// INT64_MAX; INT64_MAX for different lengths or exponents 16 or more apart.
int64_t bfp16_distance(const Bfp16Vec& a, const Bfp16Vec& b);

// (i, score of i) for every i in ascending order; the score is the saturating sum of the k
// smallest distances from i to the others (all of them when there are fewer than k). Mantissas
// must lie in -32767..32767, as the encoder produces them (the vector paths rely on it).
std::vector<std::pair<size_t, int64_t>> compute_krum_scores_bfp16(std::span<const Bfp16Vec> encoded,
                                                                  size_t k);

// The index with the smallest score (lowest index on ties) with k = n - f - 2, or nullopt when
// n < krum_quorum(f).
std::optional<size_t> aggregate_krum_bfp16(std::span<const Bfp16Vec> encoded, size_t f);

// The m best indices in selection order (stable by score), or nullopt when m = 0,
// m > n - 2f - 2, or n < krum_quorum(f).
std::optional<std::vector<size_t>> aggregate_multi_krum_bfp16(std::span<const Bfp16Vec> encoded,
                                                              size_t f, size_t m);

// Largest element count one dot_tile call accepts; a multiple of 16.
inline constexpr size_t kMaxTileElems = size_t{16} << 16;

// Exact dot products of a 2 x 2 tile over `n` elements (n a multiple of 16, at most
// kMaxTileElems): out = {a0.b0, a0.b1, a1.b0, a1.b1}. Pointers may coincide.
using DotTileFn = void (*)(const int16_t* a0, const int16_t* a1, const int16_t* b0,
                           const int16_t* b1, size_t n, int64_t out[4]);
void dot_tile_scalar(const int16_t* a0, const int16_t* a1, const int16_t* b0, const int16_t* b1,
                     size_t n, int64_t out[4]);
#if defined(FENRO_X86)
void dot_tile_avx2(const int16_t* a0, const int16_t* a1, const int16_t* b0, const int16_t* b1,
                   size_t n, int64_t out[4]);
#endif

// The memory cap of the Gram table(s), in bytes.
inline constexpr size_t kDefaultTableCap = size_t{64} << 20;

// compute_krum_scores_bfp16 on `target`, keeping at most `table_cap` bytes of tables: above it
// the rows are done in tiles, each re-reading the encodings. Results never depend on either.
std::vector<std::pair<size_t, int64_t>> scores_with(std::span<const Bfp16Vec> encoded, size_t k,
                                                    simd::Target target, size_t table_cap);

// scores_with(encode_with(updates, target), k, target, table_cap), bit for bit, without the
// encodings in memory: each cache-sized element chunk of all n encodings is produced from the
// float input when the Gram loop needs it (again for every row tile above the cap), into
// per-worker scratch. Extra memory: the table(s) plus n x chunk mantissas per worker.
std::vector<std::pair<size_t, int64_t>> scores_fused_with(std::span<const UpdateView> updates,
                                                          size_t k, simd::Target target,
                                                          size_t table_cap);

// The exact distance of every pair of the updates' encodings, row-major n x n: entry (i, j) is
// bfp16_distance(encode(i), encode(j)) bit for bit, from one Gram table of all pairs with the
// chunks encoded on the fly as in scores_fused_with. Symmetric with a zero diagonal. Extra
// memory: the n x n table (twice while the result is built) plus n x chunk mantissas per worker.
// `finite` is true when the encoding pass saw that no value is NaN or infinite; the vector
// targets see it, the scalar one never claims it (false there means unknown).
struct PairDistances {
  std::vector<int64_t> table;
  bool finite = false;
};
PairDistances distances_fused_with(std::span<const UpdateView> updates, simd::Target target);

// The literal per-client computation: every distance by bfp16_distance, from both sides, one
// full sort per client. The reference every fast arrangement is tested against.
std::vector<std::pair<size_t, int64_t>> scores_reference(std::span<const Bfp16Vec> encoded,
                                                         size_t k);

}  // namespace fenro::aggregators::detail

#endif  // FENRO_AGGREGATORS_KRUM_KERNELS_H_
