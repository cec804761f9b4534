// Helpers shared by the C++ tests: seeded random matrices and exact-message assertions.
#ifndef FENRO_TESTS_CPP_TEST_UTIL_H_
#define FENRO_TESTS_CPP_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fenro/error/result.h"
#include "fenro/update/update.h"

namespace fenro::testing {

// Asserts that a Status or Result failed with exactly `message`.
#define EXPECT_ERROR_MSG(expr, msg)                             \
  do {                                                          \
    auto fenro_r_ = (expr);                                     \
    ASSERT_FALSE(fenro_r_.ok()) << "expected error: " << (msg); \
    EXPECT_EQ(fenro_r_.error().message(), (msg));               \
  } while (0)

inline uint32_t bits_of(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}
inline uint64_t bits64(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}
inline float float_of(uint32_t b) {
  float f;
  std::memcpy(&f, &b, sizeof f);
  return f;
}

// A set of owned dense updates plus their views.
struct Updates {
  std::vector<std::vector<float>> data;
  std::vector<UpdateView> views;
  size_t rows = 0, cols = 0;

  Updates(size_t n, size_t rows_, size_t cols_) : data(n), rows(rows_), cols(cols_) {
    for (auto& d : data) d.assign(rows * cols, 0.0f);
    refresh();
  }
  void refresh() {
    views.clear();
    for (auto& d : data) views.push_back(UpdateView::dense(d.data(), rows, cols));
  }
  float& at(size_t k, size_t r, size_t c) { return data[k][r * cols + c]; }
};

// n updates with values drawn uniformly from [-scale, scale], seeded.
inline Updates random_updates(size_t n, size_t rows, size_t cols, uint32_t seed,
                              float scale = 1.0f) {
  Updates u(n, rows, cols);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-scale, scale);
  for (auto& d : u.data)
    for (auto& x : d) x = dist(rng);
  return u;
}

// Bitwise equality of two float sequences, reporting the first difference.
inline ::testing::AssertionResult BitsEqual(const float* a, const float* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (bits_of(a[i]) != bits_of(b[i])) {
      return ::testing::AssertionFailure()
             << "element " << i << ": " << a[i] << " (0x" << std::hex << bits_of(a[i])
             << ") vs " << b[i] << " (0x" << bits_of(b[i]) << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace fenro::testing

#endif  // FENRO_TESTS_CPP_TEST_UTIL_H_
