#include "fenro/update/update.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace fenro::update {

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

}  // namespace fenro::update
