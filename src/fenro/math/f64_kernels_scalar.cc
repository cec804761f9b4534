// Baseline instantiation of the float64 inner loops: one double per "vector". It is the
// reference every wider target is tested against, and the path taken on CPUs without AVX2.
#include <cstddef>
#include <cstdint>

#include "fenro/math/f64_kernels.h"

namespace fenro::math::detail {
namespace scalar_target {

struct Ops {
  using V = double;
  static constexpr size_t kLanes = 1;
  static constexpr size_t kPairGroups = 1;
  static constexpr size_t kGramRows = 1;
  static constexpr size_t kMixRows = 1;
  static V load(const double* p) { return *p; }
  static V load_floats(const float* p) { return static_cast<double>(*p); }
  static void store(double* p, V v) { *p = v; }
  static V add(V a, V b) { return a + b; }
  static V sub(V a, V b) { return a - b; }
  static V mul(V a, V b) { return a * b; }
  static V madd(V a, V b, V c) { return c + a * b; }
  static V set1(double x) { return x; }
  static V abs(V a) { return __builtin_fabs(a); }
  static V max(V a, V b) { return a > b ? a : b; }
  static V min(V a, V b) { return a < b ? a : b; }
  static V zero_to_inf(V a) { return a == 0.0 ? __builtin_inf() : a; }
  static bool any_zero(V a) { return a == 0.0; }
  static void transpose8(const float* const* src, size_t t, double* dst) {
    for (size_t j = 0; j < 8; ++j)
      for (size_t l = 0; l < 8; ++l) dst[j * 8 + l] = static_cast<double>(src[l][t + j]);
  }
};

#include "fenro/math/f64_kernels-inl.h"

}  // namespace scalar_target

void pair_rows_scalar(const PairJob& job, const size_t rows[kPairRows], size_t g_begin) {
  scalar_target::detail::pair_rows<scalar_target::Ops>(job, rows, g_begin);
}

void pair_fill_scalar(const float* const* src, size_t len, double* dst) {
  scalar_target::detail::pair_fill<scalar_target::Ops>(src, len, dst);
}

bool mix_fill_scalar(const float* src, size_t len, double* dst, size_t stride) {
  return scalar_target::detail::mix_fill<scalar_target::Ops>(src, len, dst, stride);
}

void gram_block_scalar(const GramJob& job, const size_t rows[kGramBlock], const size_t cols[kGramBlock]) {
  scalar_target::detail::gram_block<scalar_target::Ops>(job, rows, cols);
}

void mix_rows_scalar(const MixJob& job) { scalar_target::detail::mix_rows<scalar_target::Ops>(job); }

bool list_mean_scalar(const float* const* src, size_t count, double scale, size_t len, float* out) {
  return scalar_target::detail::list_mean<scalar_target::Ops>(src, count, scale, len, out);
}

void weighted_sum_scalar(const float* const* src, const double* coeffs, size_t n,
                         const double* base, size_t len, double* out) {
  scalar_target::detail::weighted_sum<scalar_target::Ops>(src, coeffs, n, base, len, out);
}

const Kernels& kernels_for(simd::Target target) {
  static const Kernels scalar{&pair_rows_scalar, &pair_fill_scalar, &mix_rows_scalar,
                              &mix_fill_scalar, &gram_block_scalar, &weighted_sum_scalar,
                              &list_mean_scalar};
#if defined(FENRO_X86)
  static const Kernels avx2{&pair_rows_avx2, &pair_fill_avx2, &mix_rows_avx2, &mix_fill_avx2,
                            &gram_block_avx2, &weighted_sum_avx2, &list_mean_avx2};
  static const Kernels avx512{&pair_rows_avx512, &pair_fill_avx512, &mix_rows_avx512,
                              &mix_fill_avx512, &gram_block_avx512, &weighted_sum_avx512,
                              &list_mean_avx512};
  if (target == simd::Target::kAvx2) return avx2;
  if (target == simd::Target::kAvx512) return avx512;
#else
  (void)target;
#endif
  return scalar;
}

}  // namespace fenro::math::detail
