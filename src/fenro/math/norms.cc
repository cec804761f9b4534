#include "fenro/math/norms.h"

#include <algorithm>
#include <cmath>

#include "fenro/math/norms_kernels.h"
#include "fenro/parallel/pool.h"

namespace fenro::math {
namespace {

// Sequential sum of squares of one update, row-major, from -0.0.
double norm_scalar(const UpdateView& u) {
  double s = -0.0;
  if (u.size() == 0) return std::sqrt(s);  // data may be null
  for (size_t r = 0; r < u.rows; ++r) {
    const float* p = u.row(r);
    for (size_t c = 0; c < u.cols; ++c) {
      const double x = p[c];
      s += x * x;
    }
  }
  return std::sqrt(s);
}

// Sequential distance; walks both in row-major order and stops when either ends, so the two
// shapes may differ.
double distance_scalar(const UpdateView& a, const UpdateView& b) {
  double s = -0.0;
  if (a.size() == 0 || b.size() == 0) return std::sqrt(s);  // data may be null
  if (a.same_shape(b)) {
    for (size_t r = 0; r < a.rows; ++r) {
      const float* p = a.row(r);
      const float* q = b.row(r);
      for (size_t c = 0; c < a.cols; ++c) {
        const double x = static_cast<double>(p[c]) - static_cast<double>(q[c]);
        s += x * x;
      }
    }
    return std::sqrt(s);
  }
  const size_t total = std::min(a.size(), b.size());
  size_t ar = 0, ac = 0, br = 0, bc = 0;
  for (size_t t = 0; t < total; ++t) {
    const double x = static_cast<double>(a.at(ar, ac)) - static_cast<double>(b.at(br, bc));
    s += x * x;
    if (++ac == a.cols) ac = 0, ++ar;
    if (++bc == b.cols) bc = 0, ++br;
  }
  return std::sqrt(s);
}

// Runs groups of four updates on the pool; a group whose members share the shape (and that of
// `reference`, when given) takes the four-lane path, any other update the scalar one.
void batch(std::span<const UpdateView> updates, const UpdateView* reference, double* out,
           simd::Target target) {
  const size_t n = updates.size();
  const size_t groups = (n + 3) / 4;
  // Few large updates: one group per task; many small ones: fewer, larger tasks.
  const size_t per_group = updates.empty() ? 0 : updates[0].size() * 4;
  const size_t grain = std::max<size_t>(1, (size_t{1} << 16) / std::max<size_t>(per_group, 1));
  parallel::parallel_for(groups, grain, [&](size_t b, size_t e) {
    for (size_t g = b; g < e; ++g) {
      const size_t lo = 4 * g, hi = std::min(n, lo + 4);
      bool vector = false;
#if defined(FENRO_X86)
      if (target != simd::Target::kScalar) {
        vector = true;
        for (size_t k = lo; k < hi; ++k) {
          vector = vector && updates[k].same_shape(updates[lo]) &&
                   (reference == nullptr || updates[k].same_shape(*reference));
        }
      }
      if (vector) {
        UpdateView u[4];
        for (size_t k = 0; k < 4; ++k) u[k] = updates[std::min(lo + k, hi - 1)];  // pad lanes
        double r[4];
        detail::sums4_avx2(u, reference, r);
        for (size_t k = lo; k < hi; ++k) out[k] = r[k - lo];
      }
#else
      (void)target;
#endif
      if (!vector) {
        for (size_t k = lo; k < hi; ++k)
          out[k] = reference ? distance_scalar(updates[k], *reference) : norm_scalar(updates[k]);
      }
    }
  });
}

}  // namespace

namespace detail {

void l2_norms_with(std::span<const UpdateView> updates, double* out, simd::Target target) {
  batch(updates, nullptr, out, target);
}

void l2_distances_with(std::span<const UpdateView> updates, const UpdateView& reference,
                       double* out, simd::Target target) {
  batch(updates, &reference, out, target);
}

}  // namespace detail

double l2_distance_f64(const UpdateView& a, const UpdateView& b) { return distance_scalar(a, b); }

void l2_distances_f64(std::span<const UpdateView> updates, const UpdateView& reference,
                      double* out) {
  batch(updates, &reference, out, simd::best_target());
}

void l2_norms_f64(std::span<const UpdateView> updates, double* out) {
  batch(updates, nullptr, out, simd::best_target());
}

}  // namespace fenro::math
