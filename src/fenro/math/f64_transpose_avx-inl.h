// The 8 x 8 float transpose behind Ops::transpose8 of the AVX2 and AVX-512 float64 kernels.
// Included inside each of those targets' own namespace, before its Ops; it must contain nothing
// but code of that namespace.
//
// Requires before inclusion: <immintrin.h>, <cstddef>.

// The 8 x 8 float transpose of the AVX2 and AVX-512 fills: c[j] holds element t + j of
// src[0 .. 8) in lanes 0 .. 7.
inline void transpose8_floats(const float* const* src, size_t t, __m256 c[8]) {
  __m256 r[8];
  for (size_t l = 0; l < 8; ++l) r[l] = _mm256_loadu_ps(src[l] + t);
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
  const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
  const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
  const __m256 s0 = _mm256_shuffle_ps(t0, t2, 0x44), s1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 s2 = _mm256_shuffle_ps(t1, t3, 0x44), s3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 s4 = _mm256_shuffle_ps(t4, t6, 0x44), s5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 s6 = _mm256_shuffle_ps(t5, t7, 0x44), s7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  c[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
  c[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
  c[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
  c[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
  c[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
  c[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
  c[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
  c[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}
