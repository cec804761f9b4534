// Internals of the Krum scores: the per-target integer dot-product tile, and the score
// computation with a chosen target and memory cap (tests compare every target and both the
// Gram-table and the row-tile arrangement against the per-client reference), and the fused
// path that encodes on the fly.
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

namespace fenro::aggregators::krum_kernels {

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

// aggregate_krum_bfp16(encode_bfp16(updates), f) and
// aggregate_multi_krum_bfp16(encode_bfp16(updates), f, m), bit for bit, on the fused path.
std::optional<size_t> krum_select_fused(std::span<const UpdateView> updates, size_t f);
std::optional<std::vector<size_t>> multi_krum_select_fused(std::span<const UpdateView> updates,
                                                           size_t f, size_t m);

// The literal per-client computation: every distance by bfp16_distance, from both sides, one
// full sort per client. The reference every fast arrangement is tested against.
std::vector<std::pair<size_t, int64_t>> scores_reference(std::span<const Bfp16Vec> encoded,
                                                         size_t k);

}  // namespace fenro::aggregators::krum_kernels

#endif  // FENRO_AGGREGATORS_KRUM_KERNELS_H_
