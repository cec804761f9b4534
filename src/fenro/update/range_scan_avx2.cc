// AVX2 magnitude maximum of the range scans; compiled with AVX2 enabled and entered only on
// CPUs that have it.
#include <immintrin.h>

#include <cstring>

#include "fenro/update/range_scan_kernels.h"

namespace fenro::update::detail {

uint32_t max_magnitude_bits_avx2(const float* v, size_t n, uint32_t m) {
  const __m256i abs_mask = _mm256_set1_epi32(0x7fffffff);
  // Magnitude bits are below 2^31, so signed 32-bit maxima order them correctly. Four
  // accumulators keep four loads in flight.
  __m256i m0 = _mm256_set1_epi32(static_cast<int32_t>(m)), m1 = m0, m2 = m0, m3 = m0;
  size_t t = 0;
  for (; t + 32 <= n; t += 32) {
    const auto* p = reinterpret_cast<const __m256i*>(v + t);
    m0 = _mm256_max_epi32(m0, _mm256_and_si256(_mm256_loadu_si256(p), abs_mask));
    m1 = _mm256_max_epi32(m1, _mm256_and_si256(_mm256_loadu_si256(p + 1), abs_mask));
    m2 = _mm256_max_epi32(m2, _mm256_and_si256(_mm256_loadu_si256(p + 2), abs_mask));
    m3 = _mm256_max_epi32(m3, _mm256_and_si256(_mm256_loadu_si256(p + 3), abs_mask));
  }
  m0 = _mm256_max_epi32(_mm256_max_epi32(m0, m1), _mm256_max_epi32(m2, m3));
  alignas(32) uint32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), m0);
  for (uint32_t x : lanes) m = x > m ? x : m;
  return max_magnitude_bits_scalar(v + t, n - t, m);
}

}  // namespace fenro::update::detail
