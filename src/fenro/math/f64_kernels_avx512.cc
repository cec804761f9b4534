// AVX-512 instantiation of the float64 inner loops: eight doubles per vector. Compiled with
// AVX-512 flags and entered only when the CPU supports them.
// GCC 12 flags the deliberately undefined pass-through operand inside the AVX-512 conversion
// intrinsics as maybe-uninitialized; it is never read.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "fenro/math/f64_kernels.h"

namespace fenro::math::detail {
namespace avx512_target {

#include "fenro/math/f64_transpose_avx-inl.h"

struct Ops {
  using V = __m512d;
  static constexpr size_t kLanes = 8;
  static constexpr size_t kPairGroups = 2;  // 4 rows x 2 groups: 8 of the 32 registers
  static constexpr size_t kGramRows = 4;  // 16 accumulators of the 32 registers
  static constexpr size_t kMixRows = 4;
  static V load(const double* p) { return _mm512_loadu_pd(p); }
  static V load_floats(const float* p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }
  static void store(double* p, V v) { _mm512_storeu_pd(p, v); }
  static V add(V a, V b) { return _mm512_add_pd(a, b); }
  static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
  static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
  static V madd(V a, V b, V c) { return _mm512_fmadd_pd(a, b, c); }
  static V set1(double x) { return _mm512_set1_pd(x); }
  static V abs(V a) { return _mm512_abs_pd(a); }
  static V max(V a, V b) { return _mm512_max_pd(a, b); }
  static V min(V a, V b) { return _mm512_min_pd(a, b); }
  static V zero_to_inf(V a) {
    const __mmask8 zero = _mm512_cmp_pd_mask(a, _mm512_setzero_pd(), _CMP_EQ_OQ);
    return _mm512_mask_blend_pd(zero, a, _mm512_set1_pd(__builtin_inf()));
  }
  static bool any_zero(V a) { return _mm512_cmp_pd_mask(a, _mm512_setzero_pd(), _CMP_EQ_OQ) != 0; }
  static void transpose8(const float* const* src, size_t t, double* dst) {
    __m256 c[8];
    transpose8_floats(src, t, c);
    for (size_t j = 0; j < 8; ++j) _mm512_storeu_pd(dst + j * 8, _mm512_cvtps_pd(c[j]));
  }
};

#include "fenro/math/f64_kernels-inl.h"

}  // namespace avx512_target

void pair_rows_avx512(const PairJob& job, const size_t rows[kPairRows], size_t g_begin) {
  avx512_target::detail::pair_rows<avx512_target::Ops>(job, rows, g_begin);
}

void pair_fill_avx512(const float* const* src, size_t len, double* dst) {
  avx512_target::detail::pair_fill<avx512_target::Ops>(src, len, dst);
}

bool mix_fill_avx512(const float* src, size_t len, double* dst, size_t stride) {
  return avx512_target::detail::mix_fill<avx512_target::Ops>(src, len, dst, stride);
}

void gram_block_avx512(const GramJob& job, const size_t rows[kGramBlock], const size_t cols[kGramBlock]) {
  avx512_target::detail::gram_block<avx512_target::Ops>(job, rows, cols);
}

void mix_rows_avx512(const MixJob& job) { avx512_target::detail::mix_rows<avx512_target::Ops>(job); }

bool list_mean_avx512(const float* const* src, size_t count, double scale, size_t len, float* out) {
  return avx512_target::detail::list_mean<avx512_target::Ops>(src, count, scale, len, out);
}

void weighted_sum_avx512(const float* const* src, const double* coeffs, size_t n,
                         const double* base, size_t len, double* out) {
  avx512_target::detail::weighted_sum<avx512_target::Ops>(src, coeffs, n, base, len, out);
}

}  // namespace fenro::math::detail
