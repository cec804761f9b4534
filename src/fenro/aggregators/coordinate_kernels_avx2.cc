// AVX2 instantiation of the tile loops: 8 float lanes. Compiled with AVX2 flags and entered
// only when the CPU supports them.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fenro/aggregators/coordinate_kernels.h"
#include "fenro/aggregators/meamed_kernels.h"

namespace fenro::aggregators::detail {
namespace avx2_target {

struct Ops {
  using V = __m256;
  static constexpr size_t kLanes = 8;
  static V load(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
  static V min(V a, V b) { return _mm256_min_ps(a, b); }
  static V max(V a, V b) { return _mm256_max_ps(a, b); }
  static V add(V a, V b) { return _mm256_add_ps(a, b); }
  static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
  static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
  static V div(V a, V b) { return _mm256_div_ps(a, b); }
  static V set1(float x) { return _mm256_set1_ps(x); }
};

#include "fenro/aggregators/coordinate_kernels-inl.h"
#include "fenro/aggregators/meamed_kernels-inl.h"

}  // namespace avx2_target

bool select_tiles_avx2(const SelectJob& job, size_t tile_begin, size_t tile_end, float* scratch) {
  return avx2_target::select_tiles<avx2_target::Ops>(job, tile_begin, tile_end, scratch);
}

void mean_tiles_avx2(const MeanJob& job, size_t tile_begin, size_t tile_end) {
  avx2_target::mean_tiles<avx2_target::Ops>(job, tile_begin, tile_end);
}

bool around_median_tiles_avx2(const AroundMedianJob& job, size_t tile_begin, size_t tile_end,
                              float* scratch, const float** stage_bases) {
  return avx2_target::around_median_tiles<avx2_target::Ops>(job, tile_begin, tile_end, scratch,
                                                            stage_bases);
}

}  // namespace fenro::aggregators::detail
