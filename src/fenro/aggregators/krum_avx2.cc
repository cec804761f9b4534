// AVX2 tiles of the Krum Gram matrix (the 16-bit integer tile and the float64 panel blocks);
// compiled with AVX2 and FMA enabled and entered only on CPUs that have them.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "fenro/aggregators/krum_kernels.h"

namespace fenro::aggregators::detail {
namespace avx2_target {

// 3 x 3 blocks: 9 accumulators and 6 row vectors leave one of the 16 registers free, and each
// step's 6 loads feed 9 multiply-adds, so the two FMA pipes, not the loads, set the pace.
struct Ops {
  using V = __m256d;
  static constexpr size_t kLanes = 4, kRows = 3, kCols = 3;
  static V zero() { return _mm256_setzero_pd(); }
  static V load(const double* p) { return _mm256_load_pd(p); }
  static V fma(V a, V b, V acc) { return _mm256_fmadd_pd(a, b, acc); }
  // Lane sums four accumulators at a time (two horizontal adds, one exchange of halves).
  static __m256d sum4(V a, V b, V c, V d) {
    const __m256d ab = _mm256_hadd_pd(a, b), cd = _mm256_hadd_pd(c, d);
    return _mm256_add_pd(_mm256_permute2f128_pd(ab, cd, 0x20),
                         _mm256_permute2f128_pd(ab, cd, 0x31));
  }
  static void sums(const V (&acc)[kRows][kCols], double* out) {
    _mm256_storeu_pd(out, sum4(acc[0][0], acc[0][1], acc[0][2], acc[1][0]));
    _mm256_storeu_pd(out + 4, sum4(acc[1][1], acc[1][2], acc[2][0], acc[2][1]));
    const V z = zero();
    out[8] = _mm256_cvtsd_f64(sum4(acc[2][2], z, z, z));
  }
};

#include "fenro/aggregators/krum_panel-inl.h"

}  // namespace avx2_target

void panel_gram_avx2(const double* panel, size_t n, size_t stride, size_t len, size_t row_lo,
                     size_t row_hi, bool upper, int64_t* table, const void* const* prefetch,
                     size_t prefetch_count) {
  avx2_target::panel_gram<avx2_target::Ops>(panel, n, stride, len, row_lo, row_hi, upper, table,
                                             prefetch, prefetch_count);
}

void widen_avx2(const int16_t* src, size_t n, double* dst) {
  size_t t = 0;
  for (; t + 8 <= n; t += 8) {
    const __m256i w =
        _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + t)));
    _mm256_storeu_pd(dst + t, _mm256_cvtepi32_pd(_mm256_castsi256_si128(w)));
    _mm256_storeu_pd(dst + t + 4, _mm256_cvtepi32_pd(_mm256_extracti128_si256(w, 1)));
  }
  for (; t < n; ++t) dst[t] = src[t];
}

namespace {

// vpmaddwd gives int32 pair sums p with |p| <= 2 * 32767^2 < 2^31, so two of them can already
// overflow an int32 lane. Instead of widening every p to 64 bits, each lane keeps
//   w = sum of p (wrapping mod 2^32) and h = sum of (p >> 16) (arithmetic shift).
// With p = 65536 * (p >> 16) + l, 0 <= l < 65536, the exact sum is 65536 * h + L where
// L = sum of l. After at most 65536 steps, |h| <= 2^31 fits and 0 <= L < 2^32, so
// L = (w - 65536 * h) mod 2^32 exactly. One shift and two adds per multiply-add.
inline int64_t total(__m256i w, __m256i h) {
  const __m256i l = _mm256_sub_epi32(w, _mm256_slli_epi32(h, 16));
  const __m256i h_lo = _mm256_cvtepi32_epi64(_mm256_castsi256_si128(h));
  const __m256i h_hi = _mm256_cvtepi32_epi64(_mm256_extracti128_si256(h, 1));
  const __m256i l_lo = _mm256_cvtepu32_epi64(_mm256_castsi256_si128(l));
  const __m256i l_hi = _mm256_cvtepu32_epi64(_mm256_extracti128_si256(l, 1));
  const __m256i s = _mm256_add_epi64(_mm256_add_epi64(_mm256_slli_epi64(h_lo, 16), l_lo),
                                     _mm256_add_epi64(_mm256_slli_epi64(h_hi, 16), l_hi));
  alignas(32) int64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), s);
  return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

inline __m256i load(const int16_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

}  // namespace

void dot_tile_avx2(const int16_t* a0, const int16_t* a1, const int16_t* b0, const int16_t* b1,
                   size_t n, int64_t out[4]) {
  __m256i w00 = _mm256_setzero_si256(), w01 = w00, w10 = w00, w11 = w00;
  __m256i h00 = w00, h01 = w00, h10 = w00, h11 = w00;
  for (size_t t = 0; t < n; t += 16) {
    const __m256i x0 = load(a0 + t), x1 = load(a1 + t);
    const __m256i y0 = load(b0 + t), y1 = load(b1 + t);
    const __m256i p00 = _mm256_madd_epi16(x0, y0), p01 = _mm256_madd_epi16(x0, y1);
    const __m256i p10 = _mm256_madd_epi16(x1, y0), p11 = _mm256_madd_epi16(x1, y1);
    w00 = _mm256_add_epi32(w00, p00);
    w01 = _mm256_add_epi32(w01, p01);
    w10 = _mm256_add_epi32(w10, p10);
    w11 = _mm256_add_epi32(w11, p11);
    h00 = _mm256_add_epi32(h00, _mm256_srai_epi32(p00, 16));
    h01 = _mm256_add_epi32(h01, _mm256_srai_epi32(p01, 16));
    h10 = _mm256_add_epi32(h10, _mm256_srai_epi32(p10, 16));
    h11 = _mm256_add_epi32(h11, _mm256_srai_epi32(p11, 16));
  }
  out[0] = total(w00, h00);
  out[1] = total(w01, h01);
  out[2] = total(w10, h10);
  out[3] = total(w11, h11);
}

}  // namespace fenro::aggregators::detail
