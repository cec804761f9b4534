// UpdateStack: count updates of one shape in one owned, dense, row-major float32 block,
// 64-byte aligned; update k starts at data() + k * rows * cols. The pre-aggregators return one,
// and the binding hands its buffer to NumPy as a (count, rows, cols) array without a copy.
#ifndef FENRO_UPDATE_UPDATE_STACK_H_
#define FENRO_UPDATE_UPDATE_STACK_H_

#include <cstddef>
#include <utility>
#include <vector>

#include "fenro/update/update.h"

namespace fenro::update {

class UpdateStack {
 public:
  UpdateStack() = default;
  // Uninitialised storage; throws std::bad_alloc when memory runs out. Blocks of several
  // megabytes are aligned to 2 MB and offered transparent huge pages where the system has them:
  // a fresh output of hundreds of megabytes then costs a few hundred page faults instead of one
  // per 4 KB, which would take longer than writing it.
  UpdateStack(size_t count, size_t rows, size_t cols);
  UpdateStack(UpdateStack&& o) noexcept { swap(o); }
  UpdateStack& operator=(UpdateStack&& o) noexcept {
    UpdateStack tmp(std::move(o));
    swap(tmp);
    return *this;
  }
  UpdateStack(const UpdateStack&) = delete;
  UpdateStack& operator=(const UpdateStack&) = delete;
  ~UpdateStack();

  size_t count() const { return count_; }
  size_t rows() const { return rows_; }
  size_t cols() const { return cols_; }
  size_t update_size() const { return rows_ * cols_; }
  size_t size() const { return count_ * rows_ * cols_; }
  float* data() { return data_; }
  const float* data() const { return data_; }
  float* update(size_t k) { return data_ + k * update_size(); }
  const float* update(size_t k) const { return data_ + k * update_size(); }
  UpdateView view(size_t k) const { return UpdateView::dense(update(k), rows_, cols_); }
  std::vector<UpdateView> views() const;

  // Gives up ownership of the block (never null, even for zero elements); free it with
  // free_matrix_buffer.
  float* release();

 private:
  void swap(UpdateStack& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(count_, o.count_);
    std::swap(rows_, o.rows_);
    std::swap(cols_, o.cols_);
  }
  float* data_ = nullptr;
  size_t count_ = 0;
  size_t rows_ = 0;
  size_t cols_ = 0;
};

}  // namespace fenro::update

namespace fenro {
using update::UpdateStack;
}  // namespace fenro

#endif  // FENRO_UPDATE_UPDATE_STACK_H_
