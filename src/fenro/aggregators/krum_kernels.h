// Internals of the Krum scores: the per-target Gram tiles (16-bit integer and float64 panel),
// the score computation with a chosen target, tile and memory cap (tests compare every target,
// both tiles and both the Gram-table and the row-tile arrangement against the per-client
// reference), the fused path that encodes on the fly, and Krum on materialised encodings, the
// reference the fused selections equal.
#ifndef FENRO_AGGREGATORS_KRUM_KERNELS_H_
#define FENRO_AGGREGATORS_KRUM_KERNELS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "fenro/aggregators/bfp16.h"
#include "fenro/aggregators/bfp16_kernels.h"
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

// Exact Gram blocks over float64 panels. Row i < n of the panel starts at panel + i * stride
// (64-byte aligned) and holds `len` mantissas (-32767..32767) as doubles; len is a multiple of
// kPanelAlign and below 2^23, so that every partial sum stays an exact integer. Adds the dot
// product of rows i and j to table[(i - row_lo) * n + j] for every i in [row_lo, row_hi) and
// every j < n (only j >= i when `upper`); other cells are untouched. Meanwhile asks the cache
// for the `prefetch_count` addresses of `prefetch` (the next input), spread over the work.
inline constexpr size_t kPanelAlign = 8;
using PanelGramFn = void (*)(const double* panel, size_t n, size_t stride, size_t len,
                             size_t row_lo, size_t row_hi, bool upper, int64_t* table,
                             const void* const* prefetch, size_t prefetch_count);
#if defined(FENRO_X86)
void panel_gram_avx2(const double* panel, size_t n, size_t stride, size_t len, size_t row_lo,
                     size_t row_hi, bool upper, int64_t* table, const void* const* prefetch,
                     size_t prefetch_count);
void panel_gram_avx512(const double* panel, size_t n, size_t stride, size_t len, size_t row_lo,
                       size_t row_hi, bool upper, int64_t* table, const void* const* prefetch,
                       size_t prefetch_count);
// dst[t] = src[t] for t < n.
void widen_avx2(const int16_t* src, size_t n, double* dst);
#endif

// Which tile computes the Gram sums. kAuto picks, for the target and n, the one that measured
// faster; the sums, and so the results, are the same whichever computes them.
enum class GramTile { kAuto, kInteger, kPanel };

// The memory cap of the Gram table(s), in bytes.
inline constexpr size_t kDefaultTableCap = size_t{64} << 20;

// compute_krum_scores_bfp16 on `target`, keeping at most `table_cap` bytes of tables: above it
// the rows are done in tiles, each re-reading the encodings. `tile` kPanel falls back to the
// integer tile on the scalar target, which has none. Results never depend on any of them.
std::vector<std::pair<size_t, int64_t>> scores_with(std::span<const Bfp16Vec> encoded, size_t k,
                                                    simd::Target target, size_t table_cap,
                                                    GramTile tile = GramTile::kAuto);

// scores_with(encode_with(updates, target), k, target, table_cap, tile), bit for bit, without
// the encodings in memory: each cache-sized element chunk of all n encodings is produced from the
// float input when the Gram loop needs it (again for every row tile above the cap), into
// per-worker scratch. Extra memory: the table(s) plus, per worker, one chunk of all n
// encodings (about 448 KB of 16-bit mantissas, or n x 384 doubles for the panel tile).
std::vector<std::pair<size_t, int64_t>> scores_fused_with(std::span<const UpdateView> updates,
                                                          size_t k, simd::Target target,
                                                          size_t table_cap,
                                                          GramTile tile = GramTile::kAuto);

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

// The exact dot products of the updates' mantissas encoded with the given scales (encode_range
// with scales[i] for update i), over all their elements: row-major n x n with the entries
// j >= i filled and the others zero. Given each whole update's scale, the holder of one
// coordinate range of every update computes exactly its share of the whole round's Gram table,
// and the shares of consecutive ranges add up to it. The updates are of one size, at most 2^33
// elements, so that no entry overflows; their values are finite.
std::vector<int64_t> gram_with_scales(std::span<const UpdateView> updates,
                                      std::span<const BlockScale> scales, simd::Target target);

// The literal per-client computation: every distance by bfp16_distance, from both sides, one
// full sort per client. The reference every fast arrangement is tested against.
std::vector<std::pair<size_t, int64_t>> scores_reference(std::span<const Bfp16Vec> encoded,
                                                         size_t k);

}  // namespace fenro::aggregators::detail

#endif  // FENRO_AGGREGATORS_KRUM_KERNELS_H_
