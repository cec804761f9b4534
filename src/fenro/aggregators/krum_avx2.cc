// AVX2 dot-product tile of the Krum Gram matrix; compiled with AVX2 enabled and entered only
// on CPUs that have it.
#include <immintrin.h>

#include "fenro/aggregators/krum_kernels.h"

namespace fenro::aggregators::detail {
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
