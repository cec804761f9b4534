#include "fenro/math/norms.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "fenro/math/norms_kernels.h"
#include "fenro/parallel/pool.h"
#include "fenro/update/validation.h"

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

// Sequential distance to a dense row-major float64 point.
double distance_to_point_scalar(const UpdateView& u, const double* point) {
  double s = -0.0;
  if (u.size() == 0) return std::sqrt(s);  // data may be null
  for (size_t r = 0; r < u.rows; ++r) {
    const float* p = u.row(r);
    const double* q = point + r * u.cols;
    for (size_t c = 0; c < u.cols; ++c) {
      const double x = static_cast<double>(p[c]) - q[c];
      s += x * x;
    }
  }
  return std::sqrt(s);
}

// What the updates are measured against: nothing (norms), a float32 update, or a float64 point.
struct Reference {
  const UpdateView* view = nullptr;
  const double* point = nullptr;
};

// Runs groups of kBatch updates on the pool; a group whose members share the shape (and that of
// `reference`, when given) takes the vector path, any other update the scalar one.
void batch(std::span<const UpdateView> updates, Reference ref, double* out, simd::Target target) {
  const UpdateView* reference = ref.view;
  const size_t n = updates.size();
  constexpr size_t kBatch = detail::kBatch;
  const size_t groups = (n + kBatch - 1) / kBatch;
  // Few large updates: one group per task; many small ones: fewer, larger tasks.
  const size_t per_group = updates.empty() ? 0 : updates[0].size() * kBatch;
  const size_t grain = std::max<size_t>(1, (size_t{1} << 16) / std::max<size_t>(per_group, 1));
  parallel::parallel_for(groups, grain, [&](size_t b, size_t e) {
    for (size_t g = b; g < e; ++g) {
      const size_t lo = kBatch * g, hi = std::min(n, lo + kBatch);
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
        UpdateView u[kBatch];
        for (size_t k = 0; k < kBatch; ++k) u[k] = updates[std::min(lo + k, hi - 1)];  // pad lanes
        double r[kBatch];
        if (ref.point != nullptr) {
          detail::point_sums_avx2(u, ref.point, r);
        } else {
          detail::sums_avx2(u, reference, r);
        }
        for (size_t k = lo; k < hi; ++k) out[k] = r[k - lo];
      }
#else
      (void)target;
#endif
      if (!vector) {
        for (size_t k = lo; k < hi; ++k) {
          out[k] = ref.point  ? distance_to_point_scalar(updates[k], ref.point)
                   : reference ? distance_scalar(updates[k], *reference)
                               : norm_scalar(updates[k]);
        }
      }
    }
  });
}

}  // namespace

namespace detail {

void l2_norms_with(std::span<const UpdateView> updates, double* out, simd::Target target) {
  batch(updates, {}, out, target);
}

void l2_distances_with(std::span<const UpdateView> updates, const UpdateView& reference,
                       double* out, simd::Target target) {
  batch(updates, {&reference, nullptr}, out, target);
}

void l2_distances_to_point_with(std::span<const UpdateView> updates, const double* point,
                                double* out, simd::Target target) {
  batch(updates, {nullptr, point}, out, target);
}

}  // namespace detail

double l2_distance_f64(const UpdateView& a, const UpdateView& b) { return distance_scalar(a, b); }

void l2_distances_f64(std::span<const UpdateView> updates, const UpdateView& reference,
                      double* out) {
  batch(updates, {&reference, nullptr}, out, simd::best_target());
}

void l2_distances_to_point_f64(std::span<const UpdateView> updates, const double* point,
                               double* out) {
  batch(updates, {nullptr, point}, out, simd::best_target());
}

void l2_norms_f64(std::span<const UpdateView> updates, double* out) {
  batch(updates, {}, out, simd::best_target());
}

Result<std::vector<double>> validated_l2_norms_f64(std::span<const UpdateView> updates) {
  if (updates.empty()) return error::EmptyUpdates{};
  size_t same = 1;
  while (same < updates.size() && updates[same].same_shape(updates[0])) ++same;
  std::vector<double> norms(same);
  l2_norms_f64(updates.first(same), norms.data());
  // A double sum of squares of finite float32 values cannot overflow, so an update holds a NaN
  // or an infinity exactly when its norm is not finite; only then is the offending element
  // searched, so the first failure in order (update k's shape, then its values, before update
  // k + 1) is the one reported.
  for (size_t k = 0; k < same; ++k) {
    if (!std::isfinite(norms[k])) {
      Status values = update::check_finite(updates[k], k);
      assert(!values.ok());
      return std::move(values).error();
    }
  }
  if (same < updates.size()) return error::DimensionMismatch{};
  return norms;
}

}  // namespace fenro::math
