// Straightforward references for the coordinate kernels: gather each coordinate's values,
// std::stable_sort them with the IEEE less-than, and reduce in the documented order. Also the
// shared drivers that run a kernel on every SIMD target and pool size.
#ifndef FENRO_TESTS_CPP_AGGREGATORS_KERNEL_REFERENCE_H_
#define FENRO_TESTS_CPP_AGGREGATORS_KERNEL_REFERENCE_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "fenro/aggregators/update.h"
#include "fenro/parallel/pool.h"
#include "fenro/simd/cpu.h"
#include "test_util.h"

namespace fenro::testing {

inline std::vector<float> sorted_column(std::span<const UpdateView> u, size_t r, size_t c) {
  std::vector<float> v;
  for (const UpdateView& x : u) v.push_back(x.at(r, c));
  std::stable_sort(v.begin(), v.end(), [](float a, float b) { return a < b; });
  return v;
}

inline std::vector<float> ref_median(std::span<const UpdateView> u) {
  std::vector<float> out;
  for (size_t r = 0; r < u[0].rows; ++r) {
    for (size_t c = 0; c < u[0].cols; ++c) {
      const auto v = sorted_column(u, r, c);
      const size_t h = v.size() / 2;
      if (v.size() % 2 == 1) {
        out.push_back(v[h]);
        continue;
      }
      float m = (v[h - 1] + v[h]) * 0.5f;
      if (!std::isfinite(m)) {
        m = static_cast<float>((static_cast<double>(v[h - 1]) + static_cast<double>(v[h])) * 0.5);
      }
      out.push_back(m);
    }
  }
  return out;
}

inline std::vector<float> ref_trimmed_mean(std::span<const UpdateView> u, size_t k) {
  std::vector<float> out;
  const size_t n = u.size();
  for (size_t r = 0; r < u[0].rows; ++r) {
    for (size_t c = 0; c < u[0].cols; ++c) {
      const auto v = sorted_column(u, r, c);
      float acc = -0.0f;
      for (size_t i = k; i < n - k; ++i) acc += v[i];
      float m = acc / static_cast<float>(n - 2 * k);
      if (!std::isfinite(m)) {
        double dacc = -0.0;
        for (size_t i = k; i < n - k; ++i) dacc += static_cast<double>(v[i]);
        m = static_cast<float>(dacc / static_cast<double>(n - 2 * k));
      }
      out.push_back(m);
    }
  }
  return out;
}

// FedAvg with valid weights (or none), in the given update order.
inline std::vector<float> ref_fedavg(std::span<const UpdateView> u,
                                     const std::vector<float>* weights = nullptr) {
  float wsum = -0.0f;
  double wide = -0.0;
  if (weights != nullptr) {
    for (float w : *weights) wsum += w;
    for (float w : *weights) wide += static_cast<double>(w);
  }
  std::vector<float> out;
  for (size_t r = 0; r < u[0].rows; ++r) {
    for (size_t c = 0; c < u[0].cols; ++c) {
      float acc = 0.0f;
      double dacc = 0.0;
      for (size_t k = 0; k < u.size(); ++k) {
        const float x = u[k].at(r, c);
        acc += weights ? x * (*weights)[k] : x;
        dacc += weights ? static_cast<double>(x) * static_cast<double>((*weights)[k])
                        : static_cast<double>(x);
      }
      float m = acc / (weights ? wsum : static_cast<float>(u.size()));
      if (weights && !std::isfinite(wsum)) {
        m = static_cast<float>(dacc / wide);
      } else if (!std::isfinite(m)) {
        const float divisor = weights ? wsum : static_cast<float>(u.size());
        m = static_cast<float>(dacc / static_cast<double>(divisor));
      }
      out.push_back(m);
    }
  }
  return out;
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
// the gaps filled with NaN that a kernel must never read.
struct StridedUpdates {
  std::vector<std::vector<float>> data;
  std::vector<UpdateView> views;
  StridedUpdates(size_t n, size_t rows, size_t cols, size_t stride, uint32_t seed, bool hard) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    data.resize(n);
    for (size_t k = 0; k < n; ++k) {
      data[k].assign(std::max<size_t>(rows * stride, 1), std::nanf(""));
      for (size_t r = 0; r < rows; ++r)
        for (size_t c = 0; c < cols; ++c) {
          data[k][r * stride + c] = hard ? hard_value(rng) : dist(rng);
        }
      views.push_back({data[k].data(), rows, cols, static_cast<std::ptrdiff_t>(stride)});
    }
  }
};

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
