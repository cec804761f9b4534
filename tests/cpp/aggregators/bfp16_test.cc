#include "fenro/aggregators/bfp16.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "fenro/aggregators/bfp16_kernels.h"
#include "fenro/parallel/pool.h"
#include "kernel_reference.h"
#include "test_util.h"

namespace fenro::aggregators {
namespace {

using Mant = std::vector<int16_t>;

TEST(Bfp16Encoding, WorkedExamplesAndEdges) {
  const float fmax = std::numeric_limits<float>::max(), inf = INFINITY, nan = std::nanf("");
  const float big = std::nextafter(std::ldexp(1.0f, 20), 1e30f);
  ASSERT_EQ(log2f(big), 20.0f);
  const struct {
    std::vector<float> in;
    int exponent;
    Mant want;
  } rows[] = {
      {{0.5f, -0.25f, 0.1f}, -16, {32767, -16384, 6554}},  // 32768 clamps to 32767
      {{3.0f, 1.0f}, -13, {24576, 8192}},
      {{1.0f, -1.0f, 0.5f}, -15, {32767, -32767, 16384}},
      {{}, 0, {}},
      {{0.0f, -0.0f, 0.0f}, 0, {0, 0, 0}},
      // Just above 1, log2f is above 0: one exponent up, the top mantissa about 16384.
      {{std::nextafter(1.0f, 2.0f)}, -14, {16384}},
      // Just above 2^20, log2f rounds to exactly 20: the exponent stays and the top clamps.
      {{big, 1.0f}, 5, {32767, 0}},
      {{fmax, -fmax}, 113, {32767, -32767}},
      // max_abs <= 2^-112 would want an exponent below -126: clamped, mantissas stay <= 16384.
      {{std::ldexp(1.0f, -112), std::ldexp(-1.0f, -113)}, -126, {16384, -8192}},
      {{std::ldexp(1.0f, -111)}, -126, {32767}},
      {{std::numeric_limits<float>::denorm_min(), std::ldexp(1.0f, -140)}, -126, {0, 0}},
      // Subnormals at the clamped scale 2^126: 2^-127 is exactly half a unit and rounds up.
      {{std::ldexp(1.5f, -113), std::ldexp(1.0f, -127), std::ldexp(1.0f, -128)}, -126, {12288, 1, 0}},
      // Exponent 0: the mantissas are the values, rounded half away from zero; NaN encodes 0.
      {{32767.0f, 2.5f, -2.5f, 1.5f, -0.5f, 0.49999997f, -0.49999997f, nan, 3.4999998f}, 0,
       {32767, 3, -3, 2, -1, 0, 0, 0, 3}},
      {{nan, 0.5f, nan}, -16, {0, 32767, 0}},  // a NaN never sets the maximum
      {{nan, nan}, 0, {0, 0}},
      {{inf, -inf, 1e38f}, 126, {32767, -32767, 1}},  // finite values vanish next to infinity
  };
  for (const auto& row : rows) {
    const Bfp16Vec v = Bfp16Vec::from_f32_slice(row.in);
    EXPECT_EQ(v.exponent, row.exponent) << ::testing::PrintToString(row.in);
    EXPECT_EQ(v.mantissas, row.want) << ::testing::PrintToString(row.in);
  }
  for (int p = -100; p <= 127; ++p) {
    const float x = std::ldexp(1.0f, p);
    const Bfp16Vec v = Bfp16Vec::from_f32_slice(std::vector<float>{x, -x / 2});
    EXPECT_EQ(v.exponent, p - 15) << p;
    EXPECT_EQ(v.mantissas, (Mant{32767, -16384})) << p;
  }
}

// Random rows of mixed magnitudes with NaN sprinkled in, as strided views; every target and
// thread count must give exactly from_f32_slice of the row-major elements.
TEST(Bfp16Encoding, BatchEqualsSliceEncodingOnEveryTargetAndThreadCount) {
  std::mt19937 rng(7);
  struct Shape {
    size_t rows, cols;
  };
  // 300 x 501 spans several tasks per update; odd columns leave vector tails.
  const std::vector<Shape> shapes = {{1, 1}, {3, 17}, {5, 33}, {300, 501}, {0, 4}, {4, 0}};
  for (const Shape& s : shapes) {
    const size_t n = 5;
    std::vector<float> scale(n);
    for (float& x : scale) x = std::ldexp(1.0f, static_cast<int>(rng() % 60) - 30);
    const testing::StridedUpdates u(n, s.rows, s.cols, s.cols + 3, [&](size_t k, size_t) {
      const float x = std::uniform_real_distribution<float>(-scale[k], scale[k])(rng);
      if (k == 3) return 0.0f;  // an all-zero update
      return rng() % 97 == 0 ? std::nanf("") : x;
    });
    testing::for_each_target_and_pool([&](simd::Target t) {
      auto got = detail::encode_with(u.views, t);
      ASSERT_EQ(got.size(), n);
      for (size_t k = 0; k < n; ++k) {
        const Bfp16Vec want = Bfp16Vec::from_f32_slice(testing::row_major(u.views[k]));
        EXPECT_EQ(got[k].exponent, want.exponent) << k;
        EXPECT_EQ(got[k].mantissas, want.mantissas) << k;
      }
    });
  }
  EXPECT_TRUE(encode_bfp16({}).empty());
}

// The vector encoder against the scalar one on every value class at one scale, including
// values whose scaled remainder sits exactly on or next to one half.
TEST(Bfp16Encoding, VectorLoopsMatchScalarOnHardValues) {
#if defined(FENRO_X86)
  if (simd::best_target() == simd::Target::kScalar) GTEST_SKIP() << "no AVX2";
  std::vector<float> v;
  for (int i = -40; i <= 40; ++i) {
    const float h = static_cast<float>(i) + 0.5f;
    v.insert(v.end(), {h, std::nextafter(h, 1e9f), std::nextafter(h, -1e9f)});
  }
  const float inf = std::numeric_limits<float>::infinity();
  v.insert(v.end(), {std::nanf(""), inf, -inf, -0.0f, 1e-45f, 40000.0f, -40000.0f});
  while (v.size() % 16 != 5) v.push_back(0.25f);
  // The float64 forms must hold the same integers.
  auto widened = [](const std::vector<int16_t>& m) {
    return std::vector<double>(m.begin(), m.end());
  };
  for (float scale : {1.0f, 0.5f, 1024.0f}) {
    std::vector<int16_t> a(v.size()), b(v.size());
    std::vector<double> d(v.size());
    detail::encode_scalar(v.data(), v.size(), scale, a.data());
    detail::encode_avx2(v.data(), v.size(), scale, b.data());
    detail::encode_f64_avx2(v.data(), v.size(), scale, d.data());
    EXPECT_EQ(a, b) << scale;
    EXPECT_EQ(widened(a), d) << scale;
  }
  EXPECT_EQ(detail::max_abs_avx2(v.data(), v.size(), 0.0f), inf);
  EXPECT_GT(detail::max_abs_bits_avx2(v.data(), v.size(), 0), 0x7f800000u);  // saw NaN
  // The finite loop: scaled magnitudes up to just below 2^16, ties on both sides of zero, and
  // +-32768 which must land on +-32767.
  std::vector<float> f;
  for (float x : v)
    if (std::isfinite(x) && std::fabs(x) <= 40.5f) f.push_back(x);
  for (float x : {32768.0f, -32768.0f, 32767.5f, -32767.5f, 32766.5f, -32766.5f, 65535.9f,
                  -65535.9f, 16384.25f, 0.49999997f, -0.49999997f})
    f.push_back(x);
  while (f.size() % 16 != 7) f.push_back(-1.5f);
  for (float scale : {1.0f, 0.5f, 256.0f}) {
    std::vector<int16_t> a(f.size()), b(f.size());
    std::vector<double> d(f.size());
    detail::encode_scalar(f.data(), f.size(), scale, a.data());
    detail::encode_finite_avx2(f.data(), f.size(), scale, b.data());
    detail::encode_finite_f64_avx2(f.data(), f.size(), scale, d.data());
    EXPECT_EQ(a, b) << scale;
    EXPECT_EQ(widened(a), d) << scale;
  }
  for (float& x : v) x = std::isinf(x) ? std::nanf("") : x;  // NaN in every lane position
  EXPECT_EQ(detail::max_abs_avx2(v.data(), v.size(), 0.0f),
            detail::max_abs_scalar(v.data(), v.size(), 0.0f));
#else
  GTEST_SKIP() << "x86 only";
#endif
}

}  // namespace
}  // namespace fenro::aggregators
