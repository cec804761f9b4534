// Baseline instantiation of the tile loops: one float per "vector". It is the reference every
// wider target is tested against, and the path taken on CPUs without AVX2.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fenro/aggregators/coordinate_kernels.h"
#include "fenro/aggregators/meamed_kernels.h"

namespace fenro::aggregators::detail {
namespace scalar_target {

struct Ops {
  using V = float;
  static constexpr size_t kLanes = 1;
  static V load(const float* p) { return *p; }
  static void store(float* p, V v) { *p = v; }
  // The network sees no NaN and only +0.0 zeros, so equal inputs are bit-identical and the
  // choice on ties does not matter.
  static V min(V a, V b) { return b < a ? b : a; }
  static V max(V a, V b) { return a < b ? b : a; }
  static V add(V a, V b) { return a + b; }
  static V sub(V a, V b) { return a - b; }
  static V mul(V a, V b) { return a * b; }
  static V div(V a, V b) { return a / b; }
  static V set1(float x) { return x; }
};

#include "fenro/aggregators/coordinate_kernels-inl.h"
#include "fenro/aggregators/meamed_kernels-inl.h"

}  // namespace scalar_target

bool select_tiles_scalar(const SelectJob& job, size_t tile_begin, size_t tile_end, float* scratch) {
  return scalar_target::select_tiles<scalar_target::Ops>(job, tile_begin, tile_end, scratch);
}

float fix_zero_sign_scalar(const Inputs& in, size_t c, size_t lo, size_t hi, float res) {
  return scalar_target::fix_zero_sign(in, c, lo, hi, res);
}

void mean_tiles_scalar(const MeanJob& job, size_t tile_begin, size_t tile_end) {
  scalar_target::mean_tiles<scalar_target::Ops>(job, tile_begin, tile_end);
}

bool around_median_tiles_scalar(const AroundMedianJob& job, size_t tile_begin, size_t tile_end,
                                float* scratch, const float** stage_bases) {
  return scalar_target::around_median_tiles<scalar_target::Ops>(job, tile_begin, tile_end, scratch,
                                                                stage_bases);
}

}  // namespace fenro::aggregators::detail
