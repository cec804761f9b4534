// Internals of the mean around the median (meamed, and the coordinate phase of bulyan): per
// coordinate, the `keep` values nearest to the coordinate's median, averaged. Built on the
// selection tiles of coordinate_kernels.h: a tile is sorted completely by the same network
// code, then reduced per lane.
//
// Definitions (the contract of every path below):
//  - m is the coordinate's median exactly as median() computes it: the stable IEEE order, the
//    middle value, or for an even count (a + b) * 0.5 in float32 (recomputed in double and
//    rounded once when that overflows).
//  - The distance of a value x to m is |double(x) - double(m)| in float64. The kept values are
//    the `keep` smallest by (distance, client index): ties go to the lower client index.
//  - The result is float32 of (the kept values in ascending order, zeros taken as +0.0, summed
//    in float64 from -0.0) / double(keep). When every kept value is zero the result is -0.0 if
//    all of them are -0.0 and +0.0 otherwise.
#ifndef FENRO_AGGREGATORS_MEAMED_KERNELS_H_
#define FENRO_AGGREGATORS_MEAMED_KERNELS_H_

#include <cstddef>
#include <span>

#include "fenro/aggregators/coordinate_kernels.h"
#include "fenro/error/result.h"
#include "fenro/simd/cpu.h"
#include "fenro/update/update.h"
#include "fenro/update/validation.h"

namespace fenro::aggregators::detail {

struct AroundMedianJob {
  SelectJob select;  // a network that sorts every slot [0, n), for slots kAroundTile wide
  size_t keep;       // 1 <= keep <= n
  float* out;        // rows * cols results, coordinate order
};

// Coordinates per tile of the mean around the median: narrower than the selection tiles, so
// that a tile of a few hundred sorted slots stays in L1 through the merge passes.
inline constexpr size_t kAroundTile = 32;
// Most coordinates per group copied into the stage.
inline constexpr size_t kAroundStage = 1024;

// Coordinates per staged group for n updates: a multiple of kAroundTile, at most kAroundStage,
// with the stage near 200 KB, so that it and the next group's prefetched lines fit in L2.
inline size_t around_median_stage(size_t n) {
  const size_t fit = (size_t{200} << 10) / sizeof(float) / (n > 0 ? n : 1);
  const size_t group = fit / kAroundTile * kAroundTile;
  if (group == 0) return kAroundTile;
  return group < kAroundStage ? group : kAroundStage;
}

// Floats of the scratch the tile loops need for n updates and a network of `padded` slots:
// the tile, then the stage of n * around_median_stage(n) floats (64-byte aligned when the
// scratch is).
inline size_t around_median_scratch_floats(size_t n, size_t padded) {
  return padded * slot_floats_of(kAroundTile) + n * around_median_stage(n);
}

// Runs tiles [tile_begin, tile_end) of kAroundTile coordinates. `scratch` holds
// around_median_scratch_floats(n, job.select.padded) floats, 64-byte aligned, the padding slots
// [n, padded) of the tile set to +inf; `stage_bases` has room for n pointers. Returns false,
// leaving the remaining tiles undone, as soon as an input value is NaN or infinite. A lane
// whose kept set depends on client indices (a removed and a kept value at the same distance
// but of different values) is computed by around_median_exact.
bool around_median_tiles_scalar(const AroundMedianJob& job, size_t tile_begin, size_t tile_end,
                                float* scratch, const float** stage_bases);
bool around_median_tiles_avx2(const AroundMedianJob& job, size_t tile_begin, size_t tile_end,
                              float* scratch, const float** stage_bases);
bool around_median_tiles_avx512(const AroundMedianJob& job, size_t tile_begin, size_t tile_end,
                                float* scratch, const float** stage_bases);

// The result for coordinate c straight from the definition (gather, sort, pick), reading the
// original values. Used for the lanes the tiles cannot decide and above
// kMaxNetworkInputs updates.
float around_median_exact(const Inputs& in, size_t c, size_t keep);

// The signed zero result of coordinate c when every kept value is zero: -0.0 if the `keep`
// lowest-numbered clients holding a zero there all hold -0.0.
float kept_zeros(const Inputs& in, size_t c, size_t keep);

// The mean around the median of `updates` with `keep` values kept per coordinate, on `target`.
// Runs what `validation` still owes first where it reads no values (check_shapes); the value
// scan rides along with the tile loads, or runs first on the path for many updates, so a
// failure is the first of validate_updates. 1 <= keep <= n.
Result<Matrix> mean_around_median_with(std::span<const UpdateView> updates, size_t keep,
                                       update::Validation validation, simd::Target target);

}  // namespace fenro::aggregators::detail

#endif  // FENRO_AGGREGATORS_MEAMED_KERNELS_H_
