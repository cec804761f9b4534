#include "fenro/update/update_stack.h"

#include <cstdint>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace fenro::update {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;

}  // namespace

UpdateStack::UpdateStack(size_t count, size_t rows, size_t cols)
    : count_(count), rows_(rows), cols_(cols) {
  const size_t per = rows * cols;
  if ((cols != 0 && rows > SIZE_MAX / sizeof(float) / cols) ||
      (per != 0 && count > SIZE_MAX / sizeof(float) / per)) {
    throw std::bad_alloc();
  }
  // At least one element, so a released block is never null.
  size_t bytes = (count * per > 0 ? count * per : 1) * sizeof(float);
  const size_t align = bytes >= 2 * kHugePage ? kHugePage : 64;
  bytes = (bytes + align - 1) & ~(align - 1);
  data_ = static_cast<float*>(std::aligned_alloc(align, bytes));
  if (data_ == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Advice only: where huge pages are off or unavailable the block keeps small pages.
  if (align == kHugePage) (void)madvise(data_, bytes, MADV_HUGEPAGE);
#endif
}

UpdateStack::~UpdateStack() { std::free(data_); }

std::vector<UpdateView> UpdateStack::views() const {
  std::vector<UpdateView> out;
  out.reserve(count_);
  for (size_t k = 0; k < count_; ++k) out.push_back(view(k));
  return out;
}

float* UpdateStack::release() {
  float* p = data_;
  data_ = nullptr;
  count_ = rows_ = cols_ = 0;
  return p;
}

}  // namespace fenro::update
