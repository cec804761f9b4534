// AVX2 batch sums of squares; compiled with AVX2 enabled and entered only on CPUs that
// have it. Multiplies and adds stay separate (no fused multiply-add), as in the scalar sum.
#include <immintrin.h>

#include <cmath>

#include "fenro/math/norms_kernels.h"

namespace fenro::math::detail {
namespace {

// kGroups groups of four updates, one sequential sum per update in its own double lane. The
// groups advance together only so that their adds overlap: every lane's adds still go in
// element order. ref(r, c) gives element (r, c) of the reference as a double, and `with_ref`
// says whether there is one.
template <bool with_ref, class Ref>
void sums(const UpdateView* u, const Ref& ref, double out[kBatch]) {
  constexpr size_t kGroups = kBatch / 4;
  __m256d acc[kGroups];
  for (size_t g = 0; g < kGroups; ++g) acc[g] = _mm256_set1_pd(-0.0);
  const size_t rows = u[0].cols == 0 ? 0 : u[0].rows, cols = u[0].cols;  // data may be null
  for (size_t r = 0; r < rows; ++r) {
    const float* p[kBatch];
    for (size_t k = 0; k < kBatch; ++k) p[k] = u[k].row(r);
    size_t c = 0;
    for (; c + 4 <= cols; c += 4) {
      __m256d q[4];
      if constexpr (with_ref) {
        for (size_t t = 0; t < 4; ++t) q[t] = _mm256_set1_pd(ref(r, c + t));
      }
#pragma GCC unroll 4
      for (size_t g = 0; g < kGroups; ++g) {
        // Four elements of four updates, transposed so that vector t holds element c + t of
        // every update; the adds then go in element order within each lane.
        __m128 v0 = _mm_loadu_ps(p[4 * g] + c), v1 = _mm_loadu_ps(p[4 * g + 1] + c);
        __m128 v2 = _mm_loadu_ps(p[4 * g + 2] + c), v3 = _mm_loadu_ps(p[4 * g + 3] + c);
        _MM_TRANSPOSE4_PS(v0, v1, v2, v3);
        __m256d x[4] = {_mm256_cvtps_pd(v0), _mm256_cvtps_pd(v1), _mm256_cvtps_pd(v2),
                        _mm256_cvtps_pd(v3)};
        for (size_t t = 0; t < 4; ++t) {
          if constexpr (with_ref) x[t] = _mm256_sub_pd(x[t], q[t]);
          acc[g] = _mm256_add_pd(acc[g], _mm256_mul_pd(x[t], x[t]));
        }
      }
    }
    for (; c < cols; ++c) {
      for (size_t g = 0; g < kGroups; ++g) {
        __m256d x = _mm256_set_pd(p[4 * g + 3][c], p[4 * g + 2][c], p[4 * g + 1][c], p[4 * g][c]);
        if constexpr (with_ref) x = _mm256_sub_pd(x, _mm256_set1_pd(ref(r, c)));
        acc[g] = _mm256_add_pd(acc[g], _mm256_mul_pd(x, x));
      }
    }
  }
  for (size_t g = 0; g < kGroups; ++g) {
    alignas(32) double s[4];
    _mm256_store_pd(s, acc[g]);
    for (size_t k = 0; k < 4; ++k) out[4 * g + k] = std::sqrt(s[k]);
  }
}

}  // namespace

void sums_avx2(const UpdateView* u, const UpdateView* reference, double out[kBatch]) {
  const auto ref = [reference](size_t r, size_t c) {
    return static_cast<double>(reference->row(r)[c]);
  };
  if (reference != nullptr) return sums<true>(u, ref, out);
  sums<false>(u, ref, out);
}

void point_sums_avx2(const UpdateView* u, const double* point, double out[kBatch]) {
  const size_t cols = u[0].cols;
  sums<true>(u, [point, cols](size_t r, size_t c) { return point[r * cols + c]; }, out);
}

}  // namespace fenro::math::detail
