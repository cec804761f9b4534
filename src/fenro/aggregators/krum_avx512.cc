// AVX-512 float64 panel blocks of the Krum Gram matrix: the same generic loop as the AVX2
// path, 8 lanes wide. Compiled with AVX-512 flags and entered only when the CPU supports them.
// GCC 12 flags the deliberately undefined pass-through operand inside the AVX-512 reduction
// intrinsics as maybe-uninitialized; it is never read.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "fenro/aggregators/krum_kernels.h"

namespace fenro::aggregators::detail {
namespace avx512_target {

// 4 x 4 blocks: 16 accumulators and 8 row vectors of the 32 registers; 8 loads feed 16
// multiply-adds.
struct Ops {
  using V = __m512d;
  static constexpr size_t kLanes = 8, kRows = 4, kCols = 4;
  static V zero() { return _mm512_setzero_pd(); }
  static V load(const double* p) { return _mm512_load_pd(p); }
  static V fma(V a, V b, V acc) { return _mm512_fmadd_pd(a, b, acc); }
  // Four rows' worth of lane sums at a time: pairs of lanes first, then 128-bit halves, then
  // 256-bit halves, 12 operations for 4 sums instead of 6 per sum.
  static void sums(const V (&acc)[kRows][kCols], double* out) {
    for (size_t r = 0; r < kRows; ++r) {
      const V* a = acc[r];
      const V t0 = _mm512_add_pd(_mm512_unpacklo_pd(a[0], a[1]), _mm512_unpackhi_pd(a[0], a[1]));
      const V t1 = _mm512_add_pd(_mm512_unpacklo_pd(a[2], a[3]), _mm512_unpackhi_pd(a[2], a[3]));
      const V u =
          _mm512_add_pd(_mm512_shuffle_f64x2(t0, t1, 0x88), _mm512_shuffle_f64x2(t0, t1, 0xDD));
      const V w = _mm512_shuffle_f64x2(u, u, 0xD8);
      _mm256_storeu_pd(out + r * kCols,
                       _mm256_add_pd(_mm512_castpd512_pd256(w), _mm512_extractf64x4_pd(w, 1)));
    }
  }
};

#include "fenro/aggregators/krum_panel-inl.h"

}  // namespace avx512_target

void panel_gram_avx512(const double* panel, size_t n, size_t stride, size_t len, size_t row_lo,
                       size_t row_hi, bool upper, int64_t* table, const void* const* prefetch,
                       size_t prefetch_count) {
  avx512_target::panel_gram<avx512_target::Ops>(panel, n, stride, len, row_lo, row_hi, upper,
                                                 table, prefetch, prefetch_count);
}

}  // namespace fenro::aggregators::detail
