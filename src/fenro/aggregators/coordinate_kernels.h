// Internal machinery behind fedavg, trimmed_mean and median: the per-target tile loops and the
// entry points that take an explicit SIMD target, so tests can run every target the CPU has.
//
// The per-target translation units (coordinate_kernels_<target>.cc) see only the plain structs
// below: no standard-library templates cross into code compiled with wider instruction sets,
// so the linker can never pick an AVX2 copy of a shared inline function for the baseline path.
#ifndef FENRO_AGGREGATORS_COORDINATE_KERNELS_H_
#define FENRO_AGGREGATORS_COORDINATE_KERNELS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fenro/error/result.h"
#include "fenro/simd/cpu.h"
#include "fenro/update/pieces.h"
#include "fenro/update/update.h"
#include "fenro/update/validation.h"

namespace fenro::aggregators::detail {

// Where the inputs are: n updates of rows x cols. Coordinate c lives at
// bases[k] + (c / cols) * strides[k] + c % cols; when `contiguous`, simply at bases[k] + c.
struct Inputs {
  const float* const* bases;
  const std::ptrdiff_t* strides;
  size_t n;
  size_t rows;
  size_t cols;
  bool contiguous;
};

// Owns the pointer and stride arrays behind an Inputs.
struct InputSet {
  explicit InputSet(std::span<const UpdateView> updates);
  std::vector<const float*> bases;
  std::vector<std::ptrdiff_t> strides;
  Inputs in{};
};

// How a coordinate's ordered values [lo, hi) become its result.
enum class Reduce : uint8_t {
  kPick,     // hi = lo + 1: the value itself (odd median)
  kHalfSum,  // hi = lo + 2: (a + b) * 0.5 (even median)
  kMean,     // sum in ascending order from -0.0, divided by float(hi - lo) (trimmed mean)
};

// A compare-exchange network over n slots, pruned to the comparators that reach the slots
// [lo, hi). Pairs hold slot offsets already multiplied by the slot stride; runs group
// independent comparators of one kind so the inner loops carry no per-comparator branch.
enum class OpKind : uint8_t { kBoth, kMinOnly, kMaxOnly };
struct OpRun {
  OpKind kind;
  uint32_t count;
};

// The schedule after the in-register sort of each aligned block of 16 slots: either runs [run_begin,
// run_end) of memory comparators, whose pairs start at pairs[pair_begin], or a whole merge
// level: every comparator that merges sorted runs of `level` slots into runs of 2 * level.
struct NetStep {
  enum class Kind : uint8_t { kRuns, kLevel };
  Kind kind;
  uint32_t level;
  uint32_t run_begin;
  uint32_t run_end;
  uint32_t pair_begin;
};

struct SelectJob {
  Inputs in;
  size_t lo;
  size_t hi;
  Reduce reduce;
  size_t padded;          // tile slots; [n, padded) hold +inf (whole levels need a power of 2)
  const uint32_t* pairs;  // 2 offsets per comparator, in run order
  const OpRun* runs;
  const NetStep* steps;
  size_t num_steps;
  float* out;  // rows * cols results, coordinate order
};

// A network schedule and the arrays a SelectJob points into.
struct Network {
  size_t padded = 0;
  std::vector<uint32_t> pairs;
  std::vector<OpRun> runs;
  std::vector<NetStep> steps;
};

// The schedule that leaves the slots [lo, hi) of n sorted (see coordinate_kernels.cc), its
// pairs for tiles whose slots lie `slot_floats` floats apart.
Network build_network(size_t n, size_t lo, size_t hi, size_t slot_floats);

// The power of two at or above n (the width Batcher's network is built for).
inline size_t padded_slots(size_t n) {
  size_t size = 1;
  while (size < n) size <<= 1;
  return size;
}

// Per coordinate, orders the values of the updates by the stable IEEE order and reduces the
// slots [lo, hi) as `reduce` says, on the worker pool with the given target's tile loop. The
// updates' shapes agree (validation.check_shapes() passed); the value scan still owed by
// `validation` rides along with the tile loads, or runs first on the path for many updates.
Result<Matrix> select_coordinates(std::span<const UpdateView> updates, size_t lo, size_t hi,
                                  Reduce reduce, simd::Target target,
                                  update::Validation validation);

// select_coordinates on updates held in pieces (update/pieces.h), with the update validation of
// the concatenated updates owed in full: one result per piece, each with the bits of
// select_coordinates on that piece; the tiles of every piece run in one loop on the pool. A
// failure (shapes, a NaN or an infinity) is the first of update::validate_pieces.
Result<std::vector<Matrix>> select_coordinates(const update::Pieces& pieces, size_t lo,
                                               size_t hi, Reduce reduce, simd::Target target);

// The zero-sign rule of the selection kernels for coordinate c whose computed result `res` is
// a zero (see coordinate_kernels-inl.h); returns the result with its correct sign.
float fix_zero_sign_scalar(const Inputs& in, size_t c, size_t lo, size_t hi, float res);

// Floats per tile (coordinates handled together) of each target's selection loop.
// 64 coordinates per tile: the longer rows amortise each comparator's bookkeeping over more
// vectors, while the tile (n x 320 bytes, see kSlotFloats) still sits in L1 or L2.
inline constexpr size_t kSelectTile = 64;
// Floats from one slot of a tile of `tile` coordinates to the next: one cache line more than
// the slot needs, so that slots a power of two apart (as merge passes visit them) fall into
// different L1 sets instead of evicting each other.
constexpr size_t slot_floats_of(size_t tile) { return tile + 16; }
inline constexpr size_t kSlotFloats = slot_floats_of(kSelectTile);
// Floats of one fedavg tile: the output slice that stays in L1 while every update is added.
inline constexpr size_t kMeanTile = 4096;

// Runs tiles [tile_begin, tile_end) of kSelectTile coordinates. `scratch` holds
// job.padded * kSlotFloats floats, 64-byte aligned, the padding slots set to +inf. Returns
// false, leaving the remaining tiles undone, as soon as an input value is NaN or infinite.
bool select_tiles_scalar(const SelectJob& job, size_t tile_begin, size_t tile_end, float* scratch);
bool select_tiles_avx2(const SelectJob& job, size_t tile_begin, size_t tile_end, float* scratch);
bool select_tiles_avx512(const SelectJob& job, size_t tile_begin, size_t tile_end, float* scratch);

struct MeanJob {
  Inputs in;
  const float* weights;  // null: unweighted
  float divisor;         // float(n), or the float32 weight sum
  float* out;
};

// Runs fedavg tiles [tile_begin, tile_end) of kMeanTile coordinates in float32, then recomputes
// in double every element whose float32 result is not finite.
void mean_tiles_scalar(const MeanJob& job, size_t tile_begin, size_t tile_end);
void mean_tiles_avx2(const MeanJob& job, size_t tile_begin, size_t tile_end);
void mean_tiles_avx512(const MeanJob& job, size_t tile_begin, size_t tile_end);

// The rules on an explicit target (which the CPU must support); the public functions that take
// a Validation pass simd::best_target(), and have the same checks, messages and results.
Result<Matrix> fedavg_with(std::span<const UpdateView> updates,
                           std::optional<std::span<const float>> checked_weights,
                           update::Validation validation, simd::Target target);
Matrix mean_unchecked_with(std::span<const UpdateView> updates, simd::Target target);
Result<Matrix> trimmed_mean_with(std::span<const UpdateView> updates, float trim_fraction,
                                 update::Validation validation, simd::Target target);
Result<Matrix> median_with(std::span<const UpdateView> updates, update::Validation validation,
                           simd::Target target);

// Above this many updates the selection kernels sort each coordinate's values instead of
// running a network (whose size grows as n log^2 n).
inline constexpr size_t kMaxNetworkInputs = 1024;

// Number of comparators of the pruned network for n inputs and kept slots [lo, hi), as the
// benchmark reports it.
size_t network_size(size_t n, size_t lo, size_t hi);

}  // namespace fenro::aggregators::detail

#endif  // FENRO_AGGREGATORS_COORDINATE_KERNELS_H_
