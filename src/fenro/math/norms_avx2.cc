// AVX2 four-update sums of squares; compiled with AVX2 enabled and entered only on CPUs that
// have it. Multiplies and adds stay separate (no fused multiply-add), as in the scalar sum.
#include <immintrin.h>

#include <cmath>

#include "fenro/math/norms_kernels.h"

namespace fenro::math::detail {

void sums4_avx2(const UpdateView* u, const UpdateView* reference, double out[4]) {
  __m256d acc = _mm256_set1_pd(-0.0);
  const size_t rows = u[0].cols == 0 ? 0 : u[0].rows, cols = u[0].cols;  // data may be null
  for (size_t r = 0; r < rows; ++r) {
    const float* p0 = u[0].row(r);
    const float* p1 = u[1].row(r);
    const float* p2 = u[2].row(r);
    const float* p3 = u[3].row(r);
    const float* q = reference ? reference->row(r) : nullptr;
    size_t c = 0;
    for (; c + 4 <= cols; c += 4) {
      // Four elements of four updates, transposed so that vector t holds element c + t of
      // every update; the adds then go in element order within each lane.
      __m128 v0 = _mm_loadu_ps(p0 + c), v1 = _mm_loadu_ps(p1 + c);
      __m128 v2 = _mm_loadu_ps(p2 + c), v3 = _mm_loadu_ps(p3 + c);
      _MM_TRANSPOSE4_PS(v0, v1, v2, v3);
      __m256d x0 = _mm256_cvtps_pd(v0), x1 = _mm256_cvtps_pd(v1);
      __m256d x2 = _mm256_cvtps_pd(v2), x3 = _mm256_cvtps_pd(v3);
      if (q) {
        x0 = _mm256_sub_pd(x0, _mm256_set1_pd(q[c]));
        x1 = _mm256_sub_pd(x1, _mm256_set1_pd(q[c + 1]));
        x2 = _mm256_sub_pd(x2, _mm256_set1_pd(q[c + 2]));
        x3 = _mm256_sub_pd(x3, _mm256_set1_pd(q[c + 3]));
      }
      acc = _mm256_add_pd(acc, _mm256_mul_pd(x0, x0));
      acc = _mm256_add_pd(acc, _mm256_mul_pd(x1, x1));
      acc = _mm256_add_pd(acc, _mm256_mul_pd(x2, x2));
      acc = _mm256_add_pd(acc, _mm256_mul_pd(x3, x3));
    }
    for (; c < cols; ++c) {
      __m256d x = _mm256_set_pd(p3[c], p2[c], p1[c], p0[c]);
      if (q) x = _mm256_sub_pd(x, _mm256_set1_pd(q[c]));
      acc = _mm256_add_pd(acc, _mm256_mul_pd(x, x));
    }
  }
  alignas(32) double s[4];
  _mm256_store_pd(s, acc);
  for (int k = 0; k < 4; ++k) out[k] = std::sqrt(s[k]);
}

}  // namespace fenro::math::detail
