// Straightforward references for the coordinate kernels: gather each coordinate's values,
// std::stable_sort them with the IEEE less-than, and reduce in the documented order. Also the
// shared drivers that run a kernel on every SIMD target and pool size.
#ifndef FENRO_TESTS_CPP_AGGREGATORS_KERNEL_REFERENCE_H_
#define FENRO_TESTS_CPP_AGGREGATORS_KERNEL_REFERENCE_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <random>
#include <span>
#include <vector>

#include "fenro/parallel/pool.h"
#include "fenro/simd/cpu.h"
#include "fenro/update/update.h"
#include "test_util.h"

namespace fenro::testing {

// f(values of one coordinate in client order, sorted if asked) for every coordinate, row-major.
template <class F>
std::vector<float> per_coordinate(std::span<const UpdateView> u, bool sorted, F&& f) {
  std::vector<float> out;
  for (size_t r = 0; r < u[0].rows; ++r) {
    for (size_t c = 0; c < u[0].cols; ++c) {
      std::vector<float> v;
      for (const UpdateView& x : u) v.push_back(x.at(r, c));
      if (sorted) std::stable_sort(v.begin(), v.end(), [](float a, float b) { return a < b; });
      out.push_back(f(v));
    }
  }
  return out;
}

// A float32 result that overflowed is recomputed from the same terms in double.
inline float or_double(float m, double wide) { return std::isfinite(m) ? m : static_cast<float>(wide); }

inline std::vector<float> ref_median(std::span<const UpdateView> u) {
  return per_coordinate(u, true, [](const std::vector<float>& v) {
    const size_t h = v.size() / 2;
    if (v.size() % 2 == 1) return v[h];
    return or_double((v[h - 1] + v[h]) * 0.5f, (double{v[h - 1]} + double{v[h]}) * 0.5);
  });
}

inline std::vector<float> ref_trimmed_mean(std::span<const UpdateView> u, size_t k) {
  return per_coordinate(u, true, [k](const std::vector<float>& v) {
    float acc = -0.0f;
    double dacc = -0.0;
    for (size_t i = k; i < v.size() - k; ++i) acc += v[i], dacc += double{v[i]};
    const size_t kept = v.size() - 2 * k;
    return or_double(acc / static_cast<float>(kept), dacc / static_cast<double>(kept));
  });
}

// FedAvg with valid weights (or none), in the given update order. A float32 weight sum that
// overflows sends every element to the double computation.
inline std::vector<float> ref_fedavg(std::span<const UpdateView> u,
                                     const std::vector<float>* w = nullptr) {
  float wsum = -0.0f;
  double wide = -0.0;
  for (size_t k = 0; w && k < w->size(); ++k) wsum += (*w)[k], wide += double{(*w)[k]};
  const float divisor = w ? wsum : static_cast<float>(u.size());
  return per_coordinate(u, false, [&](const std::vector<float>& v) {
    float acc = 0.0f;
    double dacc = 0.0;
    for (size_t k = 0; k < v.size(); ++k) {
      acc += w ? v[k] * (*w)[k] : v[k];
      dacc += w ? double{v[k]} * double{(*w)[k]} : double{v[k]};
    }
    if (w && !std::isfinite(wsum)) return static_cast<float>(dacc / wide);
    return or_double(acc / divisor, dacc / static_cast<double>(divisor));
  });
}

// Values that stress ordering and arithmetic: ties, both zeros, subnormals, values near the
// float32 maximum, plain random values.
inline float hard_value(std::mt19937& rng) {
  std::uniform_int_distribution<int> pick(0, 9);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  switch (pick(rng)) {
    case 0: return 0.0f;
    case 1: return -0.0f;
    case 2: return static_cast<float>(static_cast<int>(unit(rng) * 3.0f));  // small integers
    case 3: return unit(rng) * FLT_MIN;                                      // subnormal
    case 4: return unit(rng) > 0 ? 3.0e38f : -3.0e38f;
    case 5: return unit(rng) * FLT_MAX;
    default: return unit(rng) * 100.0f;
  }
}

// n updates of rows x cols in buffers whose rows are `stride` elements apart (stride >= cols),
// the gaps filled with NaN that a kernel must never read. gen(k, c) gives the next element of
// update k (column c), row-major; by default seeded uniform [-1, 1] or hard values.
struct StridedUpdates {
  std::vector<std::vector<float>> data;
  std::vector<UpdateView> views;
  template <class Gen>
  StridedUpdates(size_t n, size_t rows, size_t cols, size_t stride, Gen&& gen) : data(n) {
    for (size_t k = 0; k < n; ++k) {
      data[k].assign(std::max<size_t>(rows * stride, 1), std::nanf(""));
      for (size_t r = 0; r < rows; ++r)
        for (size_t c = 0; c < cols; ++c) data[k][r * stride + c] = gen(k, c);
      views.push_back({data[k].data(), rows, cols, static_cast<std::ptrdiff_t>(stride)});
    }
  }
  StridedUpdates(size_t n, size_t rows, size_t cols, size_t stride, uint32_t seed, bool hard)
      : StridedUpdates(n, rows, cols, stride, [rng = std::mt19937(seed), hard](size_t, size_t) mutable {
          return hard ? hard_value(rng) : std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
        }) {}
};

// The elements of a view in row-major order.
inline std::vector<float> row_major(const UpdateView& v) {
  std::vector<float> out;
  for (size_t r = 0; r < v.rows; ++r)
    for (size_t c = 0; c < v.cols; ++c) out.push_back(v.at(r, c));
  return out;
}

// Calls check(target) for every SIMD target this CPU runs, with pools of 1, 2 and 3 threads.
template <class F>
void for_each_target_and_pool(F&& check) {
  for (size_t threads : {1, 2, 3}) {
    parallel::reset_pool_for_testing(threads);
    for (simd::Target t : simd::supported_targets()) {
      SCOPED_TRACE(::testing::Message() << simd::target_name(t) << ", " << threads << " threads");
      check(t);
    }
  }
}

}  // namespace fenro::testing

#endif  // FENRO_TESTS_CPP_AGGREGATORS_KERNEL_REFERENCE_H_
