#include "fenro/aggregators/update.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace fenro {

Matrix::Matrix(size_t rows, size_t cols) : rows_(rows), cols_(cols) {
  if (cols != 0 && rows > SIZE_MAX / sizeof(float) / cols) throw std::bad_alloc();
  // At least one element, so a released buffer is never null; rounded up to the alignment.
  size_t bytes = std::max<size_t>(rows * cols, 1) * sizeof(float);
  bytes = (bytes + 63) & ~size_t{63};
  data_ = static_cast<float*>(std::aligned_alloc(64, bytes));
  if (data_ == nullptr) throw std::bad_alloc();
}

Matrix Matrix::zeros(size_t rows, size_t cols) {
  Matrix m(rows, cols);
  std::memset(m.data_, 0, m.size() * sizeof(float));
  return m;
}

Matrix::~Matrix() { std::free(data_); }

float* Matrix::release() {
  float* p = data_;
  data_ = nullptr;
  rows_ = cols_ = 0;
  return p;
}

void free_matrix_buffer(float* buffer) { std::free(buffer); }

Status check_finite(const UpdateView& u, uint64_t index) {
  for (size_t r = 0; r < u.rows; ++r) {
    const float* row = u.row(r);
    // Fast scan on the bits: an element is NaN or infinite when its magnitude bits reach the
    // all-ones exponent. An integer max vectorises; the exact position is searched only then.
    uint32_t top = 0;
    for (size_t c = 0; c < u.cols; ++c) {
      uint32_t bits;
      std::memcpy(&bits, row + c, sizeof bits);
      bits &= 0x7fffffffu;
      top = bits > top ? bits : top;
    }
    if (top < 0x7f800000u) continue;
    for (size_t c = 0; c < u.cols; ++c) {
      if (!std::isfinite(row[c])) return errors::NonFiniteValue{row[c], index, r, c};
    }
  }
  return {};
}

Status validate_updates(std::span<const UpdateView> updates) {
  if (updates.empty()) return errors::EmptyUpdates{};
  for (size_t k = 0; k < updates.size(); ++k) {
    if (!updates[k].same_shape(updates[0])) return errors::DimensionMismatch{};
    FENRO_RETURN_IF_ERROR(check_finite(updates[k], k));
  }
  return {};
}

}  // namespace fenro
