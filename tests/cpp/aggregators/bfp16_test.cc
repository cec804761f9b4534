#include "fenro/aggregators/bfp16.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "fenro/aggregators/bfp16_kernels.h"
#include "fenro/parallel/pool.h"
#include "test_util.h"

namespace fenro::aggregators {
namespace {

using Mant = std::vector<int16_t>;

Bfp16Vec enc(std::vector<float> v) { return Bfp16Vec::from_f32_slice(v); }

TEST(Bfp16Encoding, ReproducesTheWorkedExamples) {
  Bfp16Vec a = enc({0.5f, -0.25f, 0.1f});
  EXPECT_EQ(a.exponent, -16);
  EXPECT_EQ(a.mantissas, (Mant{32767, -16384, 6554}));  // 32768 clamps to 32767
  Bfp16Vec b = enc({3.0f, 1.0f});
  EXPECT_EQ(b.exponent, -13);
  EXPECT_EQ(b.mantissas, (Mant{24576, 8192}));
  Bfp16Vec c = enc({1.0f, -1.0f, 0.5f});
  EXPECT_EQ(c.exponent, -15);
  EXPECT_EQ(c.mantissas, (Mant{32767, -32767, 16384}));
  Bfp16Vec e = enc({});
  EXPECT_EQ(e.exponent, 0);
  EXPECT_TRUE(e.mantissas.empty());
  Bfp16Vec z = enc({0.0f, -0.0f, 0.0f});
  EXPECT_EQ(z.exponent, 0);
  EXPECT_EQ(z.mantissas, (Mant{0, 0, 0}));
}

TEST(Bfp16Encoding, PowersOfTwoAndJustAboveThem) {
  for (int p = -100; p <= 127; ++p) {
    const float x = std::ldexp(1.0f, p);
    Bfp16Vec v = enc({x, -x / 2});
    EXPECT_EQ(v.exponent, p - 15) << p;
    EXPECT_EQ(v.mantissas, (Mant{32767, -16384})) << p;
  }
  // Just above 1, log2f is above 0: one exponent up, the top mantissa about 16384.
  Bfp16Vec one = enc({std::nextafter(1.0f, 2.0f)});
  EXPECT_EQ(one.exponent, -14);
  EXPECT_EQ(one.mantissas, Mant{16384});
  // Just above 2^20, log2f rounds to exactly 20: the exponent stays and the top clamps.
  const float big = std::nextafter(std::ldexp(1.0f, 20), 1e30f);
  ASSERT_EQ(log2f(big), 20.0f);
  Bfp16Vec b = enc({big, 1.0f});
  EXPECT_EQ(b.exponent, 5);
  EXPECT_EQ(b.mantissas, (Mant{32767, 0}));
  Bfp16Vec top = enc({std::numeric_limits<float>::max(), -std::numeric_limits<float>::max()});
  EXPECT_EQ(top.exponent, 113);
  EXPECT_EQ(top.mantissas, (Mant{32767, -32767}));
}

TEST(Bfp16Encoding, TinyMagnitudesReachTheLowerClamp) {
  // max_abs <= 2^-112 would want an exponent below -126: clamped, so mantissas stay <= 16384.
  Bfp16Vec a = enc({std::ldexp(1.0f, -112), std::ldexp(-1.0f, -113)});
  EXPECT_EQ(a.exponent, -126);
  EXPECT_EQ(a.mantissas, (Mant{16384, -8192}));
  Bfp16Vec b = enc({std::ldexp(1.0f, -111)});  // still above the clamp
  EXPECT_EQ(b.exponent, -126);
  EXPECT_EQ(b.mantissas, Mant{32767});
  const float dmin = std::numeric_limits<float>::denorm_min();
  Bfp16Vec c = enc({dmin, std::ldexp(1.0f, -140)});
  EXPECT_EQ(c.exponent, -126);
  EXPECT_EQ(c.mantissas, (Mant{0, 0}));  // 2^-23 and 2^-14 of a unit round to 0
  // Subnormal inputs at the clamped scale 2^126: 2^-127 is exactly half a unit and rounds up.
  Bfp16Vec d = enc({std::ldexp(1.5f, -113), std::ldexp(1.0f, -127), std::ldexp(1.0f, -128)});
  EXPECT_EQ(d.exponent, -126);
  EXPECT_EQ(d.mantissas, (Mant{12288, 1, 0}));
}

TEST(Bfp16Encoding, RoundsHalfAwayFromZeroAndIgnoresNaN) {
  // 32767 sets exponent 0, so mantissas are the values themselves.
  const float nan = std::nanf("");
  Bfp16Vec v = enc({32767.0f, 2.5f, -2.5f, 1.5f, -0.5f, 0.49999997f, -0.49999997f, nan, 3.4999998f});
  EXPECT_EQ(v.exponent, 0);
  EXPECT_EQ(v.mantissas, (Mant{32767, 3, -3, 2, -1, 0, 0, 0, 3}));
  // A NaN never sets the maximum.
  Bfp16Vec w = enc({nan, 0.5f, nan});
  EXPECT_EQ(w.exponent, -16);
  EXPECT_EQ(w.mantissas, (Mant{0, 32767, 0}));
  Bfp16Vec only_nan = enc({nan, nan});
  EXPECT_EQ(only_nan.exponent, 0);
  EXPECT_EQ(only_nan.mantissas, (Mant{0, 0}));
  // Infinity takes the top exponent; finite values vanish next to it.
  const float inf = std::numeric_limits<float>::infinity();
  Bfp16Vec i = enc({inf, -inf, 1e38f});
  EXPECT_EQ(i.exponent, 126);
  EXPECT_EQ(i.mantissas, (Mant{32767, -32767, 1}));
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
    const size_t n = 5, stride = s.cols + 3;
    std::vector<std::vector<float>> bufs(n);
    std::vector<UpdateView> views;
    std::vector<std::vector<float>> flat(n);
    for (size_t k = 0; k < n; ++k) {
      const float scale = std::ldexp(1.0f, static_cast<int>(rng() % 60) - 30);
      std::uniform_real_distribution<float> d(-scale, scale);
      bufs[k].assign(s.rows * stride + 1, std::nanf(""));  // padding must never be read
      for (size_t r = 0; r < s.rows; ++r)
        for (size_t c = 0; c < s.cols; ++c) {
          float x = d(rng);
          if (rng() % 97 == 0) x = std::nanf("");
          if (k == 3) x = 0.0f;  // an all-zero update
          bufs[k][r * stride + c] = x;
          flat[k].push_back(x);
        }
      views.push_back(UpdateView{bufs[k].data(), s.rows, s.cols, static_cast<std::ptrdiff_t>(stride)});
    }
    for (size_t threads = 1; threads <= 3; ++threads) {
      parallel::reset_pool_for_testing(threads);
      for (simd::Target t : simd::supported_targets()) {
        auto got = bfp16_kernels::encode_with(views, t);
        ASSERT_EQ(got.size(), n);
        for (size_t k = 0; k < n; ++k) {
          Bfp16Vec want = Bfp16Vec::from_f32_slice(flat[k]);
          EXPECT_EQ(got[k].exponent, want.exponent) << simd::target_name(t) << " " << k;
          EXPECT_EQ(got[k].mantissas, want.mantissas) << simd::target_name(t) << " " << k;
        }
      }
    }
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
  for (float scale : {1.0f, 0.5f, 1024.0f}) {
    std::vector<int16_t> a(v.size()), b(v.size());
    bfp16_kernels::encode_scalar(v.data(), v.size(), scale, a.data());
    bfp16_kernels::encode_avx2(v.data(), v.size(), scale, b.data());
    EXPECT_EQ(a, b) << scale;
  }
  EXPECT_EQ(bfp16_kernels::max_abs_avx2(v.data(), v.size(), 0.0f), inf);
  for (float& x : v) x = std::isinf(x) ? std::nanf("") : x;  // NaN in every lane position
  EXPECT_EQ(bfp16_kernels::max_abs_avx2(v.data(), v.size(), 0.0f),
            bfp16_kernels::max_abs_scalar(v.data(), v.size(), 0.0f));
#else
  GTEST_SKIP() << "x86 only";
#endif
}

}  // namespace
}  // namespace fenro::aggregators
