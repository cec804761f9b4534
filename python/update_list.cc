#include "update_list.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

#include "args.h"
#include "errors.h"
#include "numpy_api.h"

namespace fenro::python {
namespace {

using numpy::npy_intp;

// A two-dimensional float32 block of NumPy memory: rows x cols elements at `data`, rows
// `s0` bytes apart and elements `s1` bytes apart within a row.
struct Strided {
  const char* data;
  size_t rows;
  size_t cols;
  npy_intp s0;
  npy_intp s1;
};

Strided strided_2d(PyObject* array) {
  auto* a = numpy::as_array(array);
  return {a->data, static_cast<size_t>(a->dimensions[0]), static_cast<size_t>(a->dimensions[1]),
          a->strides[0], a->strides[1]};
}

// Slice k of a three-dimensional array.
Strided strided_slice(PyObject* array, size_t k) {
  auto* a = numpy::as_array(array);
  return {a->data + static_cast<npy_intp>(k) * a->strides[0],
          static_cast<size_t>(a->dimensions[1]), static_cast<size_t>(a->dimensions[2]),
          a->strides[1], a->strides[2]};
}

// Copies a block of any strides, order and alignment into dense row-major memory at `dst`.
void copy_strided(const Strided& b, float* dst) {
  for (size_t r = 0; r < b.rows; ++r) {
    const char* src = b.data + static_cast<npy_intp>(r) * b.s0;
    float* out = dst + r * b.cols;
    if (b.s1 == static_cast<npy_intp>(sizeof(float))) {
      std::memcpy(out, src, b.cols * sizeof(float));
    } else {
      // memcpy, not a load: the element may be unaligned.
      for (size_t c = 0; c < b.cols; ++c) {
        std::memcpy(out + c, src + static_cast<npy_intp>(c) * b.s1, sizeof(float));
      }
    }
  }
}

Matrix copy_array(PyObject* array) {
  const Strided b = strided_2d(array);
  Matrix m(b.rows, b.cols);
  copy_strided(b, m.data());
  return m;
}

// The block as a view on its own memory, when its rows are aligned, contiguous float32 runs
// that lie a whole number of elements apart.
std::optional<UpdateView> view_in_place(const Strided& b) {
  constexpr npy_intp kElem = sizeof(float);
  const auto* data = reinterpret_cast<const float*>(b.data);
  if (b.rows == 0 || b.cols == 0) return UpdateView::dense(data, b.rows, b.cols);
  if (reinterpret_cast<uintptr_t>(data) % alignof(float) != 0) return std::nullopt;
  if (b.cols > 1 && b.s1 != kElem) return std::nullopt;
  if (b.rows == 1) return UpdateView::dense(data, b.rows, b.cols);
  if (b.s0 % kElem != 0) return std::nullopt;
  return UpdateView{data, b.rows, b.cols, static_cast<std::ptrdiff_t>(b.s0 / kElem)};
}

// The item checks, in order: NumPy array, two dimensions, float32 dtype.
bool check_update(PyObject* item, const char* name) {
  if (!numpy::is_array(item)) return raise_argument_error(name, cannot_convert(item, kKindArray));
  auto* a = numpy::as_array(item);
  if (a->nd != 2) return raise_argument_error(name, dimensionality_mismatch(a->nd));
  if (!numpy::has_float32_dtype(item)) return raise_argument_error(name, type_mismatch(a->descr));
  return true;
}

bool is_float32_stack(PyObject* obj) {
  return numpy::is_array(obj) && numpy::as_array(obj)->nd == 3 && numpy::has_float32_dtype(obj);
}

}  // namespace

bool UpdateList::needs_no_numpy(PyObject* obj) {
  if (PyUnicode_Check(obj)) return true;
  if (PyList_CheckExact(obj)) return PyList_Size(obj) == 0;
  if (PyTuple_CheckExact(obj)) return PyTuple_Size(obj) == 0;
  return false;
}

UpdateList::~UpdateList() {
  for (Item& item : items_) Py_XDECREF(item.array);
  Py_XDECREF(stack_);
}

bool UpdateList::add(PyObject* item, const char* name, bool copy_on_entry) {
  if (!check_update(item, name)) return false;
  Item entry;
  if (copy_on_entry) {
    entry.copy = copy_array(item);
  } else {
    Py_INCREF(item);
    entry.array = item;
  }
  try {
    items_.push_back(std::move(entry));
  } catch (...) {
    Py_XDECREF(entry.array);
    throw;
  }
  return true;
}

bool UpdateList::convert(PyObject* obj, const char* name, bool copy_on_entry) {
  // Exact lists, tuples and ndarrays yield their items without running Python code; anything
  // else may run it between two items, so its arrays are copied as they come.
  const bool yields_without_python =
      is_exact_sequence(obj) || (!PyUnicode_Check(obj) && numpy::is_exact_array(obj));
  if (!yields_without_python) copy_on_entry = true;
  return for_each_item(obj, name, [&](PyObject* item) { return add(item, name, copy_on_entry); });
}

bool UpdateList::convert_list_or_stack(PyObject* obj, const char* name, bool copy_on_entry) {
  if (needs_no_numpy(obj) || !is_float32_stack(obj)) return convert(obj, name, copy_on_entry);
  Py_INCREF(obj);
  stack_ = obj;
  is_stack_ = true;
  if (copy_on_entry) copy_stack();
  return true;
}

void UpdateList::copy_stack() {
  auto* a = numpy::as_array(stack_);
  const size_t count = static_cast<size_t>(a->dimensions[0]);
  const size_t rows = static_cast<size_t>(a->dimensions[1]);
  const size_t cols = static_cast<size_t>(a->dimensions[2]);
  Matrix copy(count * rows, cols);
  for (size_t k = 0; k < count; ++k) {
    copy_strided(strided_slice(stack_, k), copy.data() + k * rows * cols);
  }
  stack_copy_ = std::move(copy);
  stack_count_ = count;
  Py_CLEAR(stack_);
}

bool UpdateList::stack_views(const char* name) {
  if (stack_ != nullptr) {
    // Read only now, after every conversion; checked again so that memory safety never depends
    // on the caller's code having left the array alone.
    if (!is_float32_stack(stack_)) {
      auto* a = numpy::as_array(stack_);
      return numpy::has_float32_dtype(stack_)
                 ? raise_argument_error(name, dimensionality_mismatch(a->nd - 1))
                 : raise_argument_error(name, type_mismatch(a->descr));
    }
    const size_t count = static_cast<size_t>(numpy::as_array(stack_)->dimensions[0]);
    views_.reserve(count);
    for (size_t k = 0; k < count; ++k) {
      std::optional<UpdateView> v = view_in_place(strided_slice(stack_, k));
      if (!v) break;
      views_.push_back(*v);
    }
    if (views_.size() == count) return true;
    views_.clear();
    copy_stack();
  }
  const size_t rows = stack_count_ == 0 ? 0 : stack_copy_.rows() / stack_count_;
  const size_t cols = stack_copy_.cols();
  views_.reserve(stack_count_);
  for (size_t k = 0; k < stack_count_; ++k) {
    views_.push_back(UpdateView::dense(stack_copy_.data() + k * rows * cols, rows, cols));
  }
  return true;
}

bool UpdateList::views(const char* name, std::span<const UpdateView>* out) {
  views_.clear();
  if (is_stack_) {
    if (!stack_views(name)) return false;
    *out = views_;
    return true;
  }
  views_.reserve(items_.size());
  for (Item& item : items_) {
    if (item.array != nullptr) {
      if (!check_update(item.array, name)) return false;
      std::optional<UpdateView> v = view_in_place(strided_2d(item.array));
      if (v) {
        views_.push_back(*v);
        continue;
      }
      item.copy = copy_array(item.array);
    }
    views_.push_back(item.copy.view());
  }
  *out = views_;
  return true;
}

PyObject* from_matrix(Matrix matrix) {
  if (!numpy::ensure_loaded()) return nullptr;
  const size_t rows = matrix.rows();
  const size_t cols = matrix.cols();
  return numpy::adopt_float32_matrix(matrix.release(), rows, cols, update::free_matrix_buffer);
}

PyObject* from_stack(UpdateStack stack) {
  if (!numpy::ensure_loaded()) return nullptr;
  const size_t count = stack.count();
  const size_t rows = stack.rows();
  const size_t cols = stack.cols();
  return numpy::adopt_float32_stack(stack.release(), count, rows, cols,
                                    update::free_matrix_buffer);
}

}  // namespace fenro::python
