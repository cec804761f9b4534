// AVX2 four-update running sums; compiled with AVX2 enabled and entered only on CPUs that have
// it. Multiplies and adds stay separate (no fused multiply-add), as in the scalar sum.
#include <immintrin.h>

#include <algorithm>

#include "fenro/math/running_sums_kernels.h"

namespace fenro::math::detail {
namespace {

// Continues the four lanes of `acc` over `len` elements starting at p[k] (and q, when given).
inline __m256d segment(const float* const p[4], const float* q, size_t len, __m256d acc) {
  size_t t = 0;
  for (; t + 4 <= len; t += 4) {
    // Four elements of four updates, transposed so that vector j holds element t + j of every
    // update; the adds then go in element order within each lane.
    __m128 v0 = _mm_loadu_ps(p[0] + t), v1 = _mm_loadu_ps(p[1] + t);
    __m128 v2 = _mm_loadu_ps(p[2] + t), v3 = _mm_loadu_ps(p[3] + t);
    _MM_TRANSPOSE4_PS(v0, v1, v2, v3);
    __m256d x0 = _mm256_cvtps_pd(v0), x1 = _mm256_cvtps_pd(v1);
    __m256d x2 = _mm256_cvtps_pd(v2), x3 = _mm256_cvtps_pd(v3);
    if (q) {
      x0 = _mm256_sub_pd(x0, _mm256_set1_pd(q[t]));
      x1 = _mm256_sub_pd(x1, _mm256_set1_pd(q[t + 1]));
      x2 = _mm256_sub_pd(x2, _mm256_set1_pd(q[t + 2]));
      x3 = _mm256_sub_pd(x3, _mm256_set1_pd(q[t + 3]));
    }
    acc = _mm256_add_pd(acc, _mm256_mul_pd(x0, x0));
    acc = _mm256_add_pd(acc, _mm256_mul_pd(x1, x1));
    acc = _mm256_add_pd(acc, _mm256_mul_pd(x2, x2));
    acc = _mm256_add_pd(acc, _mm256_mul_pd(x3, x3));
  }
  for (; t < len; ++t) {
    __m256d x = _mm256_set_pd(p[3][t], p[2][t], p[1][t], p[0][t]);
    if (q) x = _mm256_sub_pd(x, _mm256_set1_pd(q[t]));
    acc = _mm256_add_pd(acc, _mm256_mul_pd(x, x));
  }
  return acc;
}

}  // namespace

void continue4_avx2(const UpdateView* u, const UpdateView* reference, size_t lo, size_t hi,
                    double running[4]) {
  __m256d acc = _mm256_loadu_pd(running);
  const size_t cols = u[0].cols;
  size_t r = lo / cols, c = lo % cols;
  for (size_t left = hi - lo; left > 0; ++r, c = 0) {
    const size_t len = std::min(cols - c, left);
    const float* const p[4] = {u[0].row(r) + c, u[1].row(r) + c, u[2].row(r) + c,
                               u[3].row(r) + c};
    acc = segment(p, reference ? reference->row(r) + c : nullptr, len, acc);
    left -= len;
  }
  _mm256_storeu_pd(running, acc);
}

}  // namespace fenro::math::detail
