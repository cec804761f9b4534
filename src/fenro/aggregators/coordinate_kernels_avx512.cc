// AVX-512 instantiation of the tile loops: 16 float lanes, the same generic code as the AVX2
// path. Compiled with AVX-512 flags and entered only when the CPU supports them.
// GCC 12 flags the deliberately undefined pass-through operand inside the AVX-512 min/max
// intrinsics as maybe-uninitialized; it is never read.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fenro/aggregators/coordinate_kernels.h"
#include "fenro/aggregators/meamed_kernels.h"

namespace fenro::aggregators::detail {
namespace avx512_target {

struct Ops {
  using V = __m512;
  static constexpr size_t kLanes = 16;
  static V load(const float* p) { return _mm512_loadu_ps(p); }
  static void store(float* p, V v) { _mm512_storeu_ps(p, v); }
  static V min(V a, V b) { return _mm512_min_ps(a, b); }
  static V max(V a, V b) { return _mm512_max_ps(a, b); }
  static V add(V a, V b) { return _mm512_add_ps(a, b); }
  static V sub(V a, V b) { return _mm512_sub_ps(a, b); }
  static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
  static V div(V a, V b) { return _mm512_div_ps(a, b); }
  static V set1(float x) { return _mm512_set1_ps(x); }
};

#include "fenro/aggregators/coordinate_kernels-inl.h"
#include "fenro/aggregators/meamed_kernels-inl.h"

}  // namespace avx512_target

bool select_tiles_avx512(const SelectJob& job, size_t tile_begin, size_t tile_end,
                         float* scratch) {
  return avx512_target::select_tiles<avx512_target::Ops>(job, tile_begin, tile_end, scratch);
}

void mean_tiles_avx512(const MeanJob& job, size_t tile_begin, size_t tile_end) {
  avx512_target::mean_tiles<avx512_target::Ops>(job, tile_begin, tile_end);
}

bool around_median_tiles_avx512(const AroundMedianJob& job, size_t tile_begin, size_t tile_end,
                                float* scratch, const float** stage_bases) {
  return avx512_target::around_median_tiles<avx512_target::Ops>(job, tile_begin, tile_end, scratch,
                                                                stage_bases);
}

}  // namespace fenro::aggregators::detail
