#include "fenro/math/norms.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "fenro/math/norms_kernels.h"
#include "fenro/parallel/pool.h"
#include "aggregators/kernel_reference.h"
#include "test_util.h"

namespace fenro::math {
namespace {

using testing::bits_of;

uint64_t bits64(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

// The sequential definitions, written out independently.
double seq_norm(const std::vector<float>& v) {
  double s = -0.0;
  for (float x : v) s += static_cast<double>(x) * static_cast<double>(x);
  return std::sqrt(s);
}
double seq_dist(const std::vector<float>& a, const std::vector<float>& b) {
  double s = -0.0;
  for (size_t t = 0; t < std::min(a.size(), b.size()); ++t) {
    const double d = static_cast<double>(a[t]) - static_cast<double>(b[t]);
    s += d * d;
  }
  return std::sqrt(s);
}

// Values whose sum depends on the order: huge and tiny magnitudes interleaved, cancelling
// differences, values near the float32 maximum, subnormals, signed zeros.
float adversarial(std::mt19937& rng) {
  switch (rng() % 8) {
    case 0:
      return std::ldexp(1.0f, static_cast<int>(rng() % 60)) * (rng() % 2 ? 1.0f : -1.0f);
    case 1:
      return std::ldexp(1.0f + static_cast<float>(rng() % 1000) / 1000.0f,
                        -static_cast<int>(rng() % 60));
    case 2:
      return std::numeric_limits<float>::max() * (rng() % 2 ? 1.0f : -0.5f);
    case 3:
      return std::numeric_limits<float>::denorm_min() * static_cast<float>(rng() % 9);
    case 4:
      return rng() % 2 ? 0.0f : -0.0f;
    default:
      return std::uniform_real_distribution<float>(-3.0f, 3.0f)(rng);
  }
}

TEST(Norms, BatchBitsEqualTheSequentialSumOnEveryTargetAndThreadCount) {
  std::mt19937 rng(11);
  struct Shape {
    size_t rows, cols;
  };
  for (Shape s : {Shape{1, 1}, Shape{3, 7}, Shape{17, 33}, Shape{2, 4}, Shape{0, 5}, Shape{5, 0}}) {
    for (size_t n : {1, 3, 4, 5, 9}) {
      const testing::StridedUpdates u(n, s.rows, s.cols, s.cols + 2, [&](size_t k, size_t c) {
        return k == 1 ? 1e-30f * static_cast<float>(c) : adversarial(rng);
      });
      const auto& views = u.views;
      std::vector<std::vector<float>> flat;
      for (const UpdateView& v : views) flat.push_back(testing::row_major(v));
      // The reference: update 0's values reshaped densely, so it differs from every view.
      const UpdateView ref = UpdateView::dense(flat[0].data(), s.rows, s.cols);
      SCOPED_TRACE(::testing::Message() << "n=" << n << " " << s.rows << "x" << s.cols);
      // A float64 point between update 0 and its half, off every float32 value.
      std::vector<double> point(flat[0].size());
      for (size_t t = 0; t < point.size(); ++t) point[t] = 0.75 * static_cast<double>(flat[0][t]) + 1e-9;
      testing::for_each_target_and_pool([&](simd::Target t) {
        std::vector<double> norms(n), dists(n), to_point(n);
        detail::l2_norms_with(views, norms.data(), t);
        detail::l2_distances_with(views, ref, dists.data(), t);
        detail::l2_distances_to_point_with(views, point.data(), to_point.data(), t);
        for (size_t k = 0; k < n; ++k) {
          EXPECT_EQ(bits64(norms[k]), bits64(seq_norm(flat[k]))) << k;
          EXPECT_EQ(bits64(dists[k]), bits64(seq_dist(flat[k], flat[0]))) << k;
          double s2 = -0.0;
          for (size_t e = 0; e < point.size(); ++e) {
            const double x = static_cast<double>(flat[k][e]) - point[e];
            s2 += x * x;
          }
          EXPECT_EQ(bits64(to_point[k]), bits64(std::sqrt(s2))) << k;
        }
      });
    }
  }
}

TEST(Norms, MixedShapesWalkRowMajorAndStopAtTheShorter) {
  std::vector<float> a = {1, 2, 3, 4, 5, 6}, b = {1, 2, 3, 4, 5, 6, 7, 8};
  const UpdateView a23 = UpdateView::dense(a.data(), 2, 3), a32 = UpdateView::dense(a.data(), 3, 2);
  const UpdateView b24 = UpdateView::dense(b.data(), 2, 4);
  EXPECT_EQ(l2_distance_f64(a23, a32), 0.0);
  EXPECT_EQ(l2_distance_f64(a23, b24), 0.0);  // stops after six elements
  std::vector<float> c = {0, 0, 0, 0, 0, 0, 0, 0};
  const UpdateView c24 = UpdateView::dense(c.data(), 2, 4);
  EXPECT_EQ(l2_distance_f64(a23, c24), std::sqrt(91.0));
  // A batch mixing shapes: the odd one out takes the general walk.
  const UpdateView group[] = {c24, a23, c24, c24, c24};
  std::vector<double> out(5);
  for (simd::Target t : simd::supported_targets()) {
    detail::l2_distances_with(group, b24, out.data(), t);
    EXPECT_EQ(out, (std::vector<double>{std::sqrt(204.0), 0.0, std::sqrt(204.0), std::sqrt(204.0),
                                        std::sqrt(204.0)}));
  }
  // Nothing to walk: negative zero.
  const UpdateView empty{nullptr, 0, 3, 3};
  EXPECT_TRUE(std::signbit(l2_distance_f64(empty, empty)));
  EXPECT_EQ(l2_distance_f64(a23, a23), 0.0);
  double nz = 1.0;
  l2_norms_f64({&empty, 1}, &nz);
  EXPECT_TRUE(std::signbit(nz));
}

TEST(Norms, LargestFloatsStayFiniteInDouble) {
  std::vector<float> v(1000, std::numeric_limits<float>::max());
  const UpdateView u = UpdateView::dense(v.data(), 10, 100);
  double norm = 0;
  l2_norms_f64({&u, 1}, &norm);
  EXPECT_TRUE(std::isfinite(norm));
  EXPECT_EQ(bits64(norm), bits64(seq_norm(v)));
}

}  // namespace
}  // namespace fenro::math
