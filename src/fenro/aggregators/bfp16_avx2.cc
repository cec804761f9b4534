// AVX2 loops of the BFP16 encoder; this file is compiled with AVX2 enabled and entered only
// on CPUs that have it. Results equal encode_scalar / max_abs_scalar element for element.
#include <immintrin.h>

#include <cstring>

#include "fenro/aggregators/bfp16_kernels.h"

namespace fenro::aggregators::detail {

float max_abs_avx2(const float* v, size_t n, float m) {
  const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  __m256 m0 = _mm256_set1_ps(m), m1 = m0;
  size_t t = 0;
  // max_ps returns its second operand when the first is NaN, so NaN elements are skipped.
  for (; t + 16 <= n; t += 16) {
    m0 = _mm256_max_ps(_mm256_and_ps(_mm256_loadu_ps(v + t), abs_mask), m0);
    m1 = _mm256_max_ps(_mm256_and_ps(_mm256_loadu_ps(v + t + 8), abs_mask), m1);
  }
  m0 = _mm256_max_ps(m0, m1);
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, m0);
  for (float x : lanes) m = x > m ? x : m;
  return max_abs_scalar(v + t, n - t, m);
}

namespace {

inline __m256i encode8(const float* v, __m256 scale) {
  const __m256 hi = _mm256_set1_ps(32767.0f), lo = _mm256_set1_ps(-32767.0f);
  const __m256 half = _mm256_set1_ps(0.5f), mhalf = _mm256_set1_ps(-0.5f);
  __m256 x = _mm256_mul_ps(_mm256_loadu_ps(v), scale);
  const __m256i ordered = _mm256_castps_si256(_mm256_cmp_ps(x, x, _CMP_ORD_Q));
  x = _mm256_min_ps(_mm256_max_ps(x, lo), hi);  // NaN lanes are masked to 0 below
  __m256i i = _mm256_cvttps_epi32(x);
  const __m256 r = _mm256_sub_ps(x, _mm256_cvtepi32_ps(i));  // exact remainder
  i = _mm256_sub_epi32(i, _mm256_castps_si256(_mm256_cmp_ps(r, half, _CMP_GE_OQ)));
  i = _mm256_add_epi32(i, _mm256_castps_si256(_mm256_cmp_ps(r, mhalf, _CMP_LE_OQ)));
  return _mm256_and_si256(i, ordered);
}

inline __m256i encode8_finite(const float* v, __m256 scale) {
  const __m256 x = _mm256_mul_ps(_mm256_loadu_ps(v), scale);
  const __m256i i = _mm256_cvttps_epi32(x);
  const __m256 r = _mm256_sub_ps(x, _mm256_cvtepi32_ps(i));  // exact, in (-1, 1)
  // trunc(2r) is +1 for r >= 0.5, -1 for r <= -0.5, 0 otherwise: half away from zero.
  return _mm256_add_epi32(i, _mm256_cvttps_epi32(_mm256_add_ps(r, r)));
}

}  // namespace

uint32_t max_abs_bits_avx2(const float* v, size_t n, uint32_t m) {
  const __m256i abs_mask = _mm256_set1_epi32(0x7fffffff);
  // Magnitude bits are below 2^31, so signed 32-bit maxima order them correctly.
  __m256i m0 = _mm256_set1_epi32(static_cast<int32_t>(m)), m1 = m0;
  size_t t = 0;
  for (; t + 16 <= n; t += 16) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + t));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + t + 8));
    m0 = _mm256_max_epi32(m0, _mm256_and_si256(a, abs_mask));
    m1 = _mm256_max_epi32(m1, _mm256_and_si256(b, abs_mask));
  }
  m0 = _mm256_max_epi32(m0, m1);
  alignas(32) uint32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), m0);
  for (uint32_t x : lanes) m = x > m ? x : m;
  for (; t < n; ++t) {
    uint32_t bits;
    std::memcpy(&bits, v + t, sizeof bits);
    bits &= 0x7fffffffu;
    m = bits > m ? bits : m;
  }
  return m;
}

void encode_finite_avx2(const float* v, size_t n, float scale, int16_t* out) {
  const __m256 s = _mm256_set1_ps(scale);
  const __m256i floor = _mm256_set1_epi16(-32767);
  size_t t = 0;
  for (; t + 16 <= n; t += 16) {
    const __m256i a = encode8_finite(v + t, s), b = encode8_finite(v + t + 8, s);
    // Signed saturation maps 32768 (and above) to 32767; the max lifts -32768 to -32767.
    const __m256i p = _mm256_max_epi16(_mm256_packs_epi32(a, b), floor);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + t), _mm256_permute4x64_epi64(p, 0xD8));
  }
  encode_scalar(v + t, n - t, scale, out + t);
}

namespace {

// Stores 8 int32 mantissas (already within -32767..32767) as doubles.
inline void store_f64(__m256i m, double* out) {
  _mm256_storeu_pd(out, _mm256_cvtepi32_pd(_mm256_castsi256_si128(m)));
  _mm256_storeu_pd(out + 4, _mm256_cvtepi32_pd(_mm256_extracti128_si256(m, 1)));
}

// The scalar encoder on the last n < 16 elements, widened.
void encode_tail_f64(const float* v, size_t n, float scale, double* out) {
  int16_t m[16];
  encode_scalar(v, n, scale, m);
  for (size_t t = 0; t < n; ++t) out[t] = m[t];
}

}  // namespace

void encode_finite_f64_avx2(const float* v, size_t n, float scale, double* out) {
  const __m256 s = _mm256_set1_ps(scale);
  const __m256i lo = _mm256_set1_epi32(-32767), hi = _mm256_set1_epi32(32767);
  size_t t = 0;
  for (; t + 16 <= n; t += 16) {
    // The clamp the 16-bit path gets from saturating packing and its max.
    store_f64(_mm256_min_epi32(_mm256_max_epi32(encode8_finite(v + t, s), lo), hi), out + t);
    store_f64(_mm256_min_epi32(_mm256_max_epi32(encode8_finite(v + t + 8, s), lo), hi),
              out + t + 8);
  }
  encode_tail_f64(v + t, n - t, scale, out + t);
}

void encode_f64_avx2(const float* v, size_t n, float scale, double* out) {
  const __m256 s = _mm256_set1_ps(scale);
  size_t t = 0;
  for (; t + 16 <= n; t += 16) {
    store_f64(encode8(v + t, s), out + t);
    store_f64(encode8(v + t + 8, s), out + t + 8);
  }
  encode_tail_f64(v + t, n - t, scale, out + t);
}

void encode_avx2(const float* v, size_t n, float scale, int16_t* out) {
  const __m256 s = _mm256_set1_ps(scale);
  size_t t = 0;
  for (; t + 16 <= n; t += 16) {
    const __m256i a = encode8(v + t, s), b = encode8(v + t + 8, s);
    // packs interleaves 128-bit halves: a0 b0 a1 b1; restore order a0 a1 b0 b1.
    const __m256i p = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + t), p);
  }
  encode_scalar(v + t, n - t, scale, out + t);
}

}  // namespace fenro::aggregators::detail
