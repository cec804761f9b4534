// AVX2 instantiation of the float64 inner loops: four doubles per vector. Compiled with AVX2
// flags and entered only when the CPU supports them.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "fenro/math/f64_kernels.h"

namespace fenro::math::detail {
namespace avx2_target {

#include "fenro/math/f64_transpose_avx-inl.h"

struct Ops {
  using V = __m256d;
  static constexpr size_t kLanes = 4;
  static constexpr size_t kPairGroups = 1;  // 4 rows x 2 vectors: half the 16 registers
  static constexpr size_t kGramRows = 1;  // 4 columns x 2 vectors: half the 16 registers
  static constexpr size_t kMixRows = 2;
  static V load(const double* p) { return _mm256_loadu_pd(p); }
  static V load_floats(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
  static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
  static V add(V a, V b) { return _mm256_add_pd(a, b); }
  static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
  static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
  static V madd(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }
  static V set1(double x) { return _mm256_set1_pd(x); }
  static V abs(V a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
  static V max(V a, V b) { return _mm256_max_pd(a, b); }
  static V min(V a, V b) { return _mm256_min_pd(a, b); }
  static V zero_to_inf(V a) {
    const V zero = _mm256_cmp_pd(a, _mm256_setzero_pd(), _CMP_EQ_OQ);
    return _mm256_blendv_pd(a, _mm256_set1_pd(__builtin_inf()), zero);
  }
  static bool any_zero(V a) {
    return _mm256_movemask_pd(_mm256_cmp_pd(a, _mm256_setzero_pd(), _CMP_EQ_OQ)) != 0;
  }
  static void transpose8(const float* const* src, size_t t, double* dst) {
    __m256 c[8];
    transpose8_floats(src, t, c);
    for (size_t j = 0; j < 8; ++j) {
      _mm256_storeu_pd(dst + j * 8, _mm256_cvtps_pd(_mm256_castps256_ps128(c[j])));
      _mm256_storeu_pd(dst + j * 8 + 4, _mm256_cvtps_pd(_mm256_extractf128_ps(c[j], 1)));
    }
  }
};

#include "fenro/math/f64_kernels-inl.h"

}  // namespace avx2_target

void pair_rows_avx2(const PairJob& job, const size_t rows[kPairRows], size_t g_begin) {
  avx2_target::detail::pair_rows<avx2_target::Ops>(job, rows, g_begin);
}

void pair_fill_avx2(const float* const* src, size_t len, double* dst) {
  avx2_target::detail::pair_fill<avx2_target::Ops>(src, len, dst);
}

bool mix_fill_avx2(const float* src, size_t len, double* dst, size_t stride) {
  return avx2_target::detail::mix_fill<avx2_target::Ops>(src, len, dst, stride);
}

void gram_block_avx2(const GramJob& job, const size_t rows[kGramBlock], const size_t cols[kGramBlock]) {
  avx2_target::detail::gram_block<avx2_target::Ops>(job, rows, cols);
}

void mix_rows_avx2(const MixJob& job) { avx2_target::detail::mix_rows<avx2_target::Ops>(job); }

bool list_mean_avx2(const float* const* src, size_t count, double scale, size_t len, float* out) {
  return avx2_target::detail::list_mean<avx2_target::Ops>(src, count, scale, len, out);
}

void weighted_sum_avx2(const float* const* src, const double* coeffs, size_t n,
                       const double* base, size_t len, double* out) {
  avx2_target::detail::weighted_sum<avx2_target::Ops>(src, coeffs, n, base, len, out);
}

}  // namespace fenro::math::detail
