// Updates: row-major float32 matrices, one per client, all of one shape in a round.
//
// Kernels take non-owning views, so the round can filter by index and the binding can hand
// over caller memory in place. A view's rows are contiguous; rows may be any distance apart
// (`row_stride`, in elements, possibly negative). The coordinate index of an element is
// row * cols + col: every scan, encoding and result uses that order.
#ifndef FENRO_UPDATE_UPDATE_H_
#define FENRO_UPDATE_UPDATE_H_

#include <cstddef>
#include <cstdint>
#include <utility>

namespace fenro::update {

struct UpdateView {
  const float* data = nullptr;  // element (0, 0); may be null when the update has no elements
  size_t rows = 0;
  size_t cols = 0;
  std::ptrdiff_t row_stride = 0;  // elements from the start of one row to the next

  const float* row(size_t r) const { return data + static_cast<std::ptrdiff_t>(r) * row_stride; }
  float at(size_t r, size_t c) const { return row(r)[c]; }
  size_t size() const { return rows * cols; }
  bool same_shape(const UpdateView& o) const { return rows == o.rows && cols == o.cols; }
  // True when all elements form one dense block in coordinate order.
  bool contiguous() const { return rows <= 1 || row_stride == static_cast<std::ptrdiff_t>(cols); }

  static UpdateView dense(const float* data, size_t rows, size_t cols) {
    return {data, rows, cols, static_cast<std::ptrdiff_t>(cols)};
  }
};

// An owned, dense, row-major float32 matrix, 64-byte aligned. Results of every kernel.
class Matrix {
 public:
  Matrix() = default;
  // Uninitialised storage of rows x cols; throws std::bad_alloc when memory runs out.
  Matrix(size_t rows, size_t cols);
  static Matrix zeros(size_t rows, size_t cols);
  // Throws std::bad_alloc when a rows x cols matrix cannot be allocated now. Holds nothing after
  // it returns and touches no page: a call that reads its input before it allocates its result
  // asks first, so that a result too large for memory (a broadcast view of 2^40 rows, say)
  // fails at once instead of after reading every claimed element.
  static void ensure_allocatable(size_t rows, size_t cols) { Matrix probe(rows, cols); }
  Matrix(Matrix&& o) noexcept { swap(o); }
  Matrix& operator=(Matrix&& o) noexcept {
    Matrix tmp(std::move(o));
    swap(tmp);
    return *this;
  }
  Matrix(const Matrix&) = delete;
  Matrix& operator=(const Matrix&) = delete;
  ~Matrix();

  size_t rows() const { return rows_; }
  size_t cols() const { return cols_; }
  size_t size() const { return rows_ * cols_; }
  float* data() { return data_; }
  const float* data() const { return data_; }
  float& at(size_t r, size_t c) { return data_[r * cols_ + c]; }
  float at(size_t r, size_t c) const { return data_[r * cols_ + c]; }
  UpdateView view() const { return UpdateView::dense(data_, rows_, cols_); }

  // Gives up ownership of the buffer (never null, even for zero elements); free it with
  // free_matrix_buffer.
  float* release();

 private:
  void swap(Matrix& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(rows_, o.rows_);
    std::swap(cols_, o.cols_);
  }
  float* data_ = nullptr;
  size_t rows_ = 0;
  size_t cols_ = 0;
};

void free_matrix_buffer(float* buffer);

}  // namespace fenro::update

namespace fenro {
// The shared vocabulary of every folder above this one.
using update::Matrix;
using update::UpdateView;
}  // namespace fenro

#endif  // FENRO_UPDATE_UPDATE_H_
