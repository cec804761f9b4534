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

// Copies a two-dimensional float32 array of any strides, order and alignment into a dense
// row-major matrix.
Matrix copy_array(PyObject* array) {
  auto* a = numpy::as_array(array);
  const size_t rows = static_cast<size_t>(a->dimensions[0]);
  const size_t cols = static_cast<size_t>(a->dimensions[1]);
  const numpy::npy_intp s0 = a->strides[0];
  const numpy::npy_intp s1 = a->strides[1];
  Matrix m(rows, cols);
  for (size_t r = 0; r < rows; ++r) {
    const char* src = a->data + static_cast<numpy::npy_intp>(r) * s0;
    float* dst = m.data() + r * cols;
    if (s1 == static_cast<numpy::npy_intp>(sizeof(float))) {
      std::memcpy(dst, src, cols * sizeof(float));
    } else {
      // memcpy, not a load: the element may be unaligned.
      for (size_t c = 0; c < cols; ++c) {
        std::memcpy(dst + c, src + static_cast<numpy::npy_intp>(c) * s1, sizeof(float));
      }
    }
  }
  return m;
}

// The array as a view on its own memory, when its rows are aligned, contiguous float32 runs
// that lie a whole number of elements apart.
std::optional<UpdateView> view_in_place(PyObject* array) {
  auto* a = numpy::as_array(array);
  const size_t rows = static_cast<size_t>(a->dimensions[0]);
  const size_t cols = static_cast<size_t>(a->dimensions[1]);
  const numpy::npy_intp s0 = a->strides[0];
  const numpy::npy_intp s1 = a->strides[1];
  constexpr numpy::npy_intp kElem = sizeof(float);
  const auto* data = reinterpret_cast<const float*>(a->data);
  if (rows == 0 || cols == 0) return UpdateView::dense(data, rows, cols);
  if (reinterpret_cast<uintptr_t>(data) % alignof(float) != 0) return std::nullopt;
  if (cols > 1 && s1 != kElem) return std::nullopt;
  if (rows == 1) return UpdateView::dense(data, rows, cols);
  if (s0 % kElem != 0) return std::nullopt;
  return UpdateView{data, rows, cols, static_cast<std::ptrdiff_t>(s0 / kElem)};
}

// The item checks, in order: NumPy array, two dimensions, float32 dtype.
bool check_update(PyObject* item, const char* name) {
  if (!numpy::is_array(item)) return raise_argument_error(name, cannot_convert(item, kKindArray));
  auto* a = numpy::as_array(item);
  if (a->nd != 2) return raise_argument_error(name, dimensionality_mismatch(a->nd));
  if (!numpy::has_float32_dtype(item)) return raise_argument_error(name, type_mismatch(a->descr));
  return true;
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

bool UpdateList::views(const char* name, std::span<const UpdateView>* out) {
  views_.clear();
  views_.reserve(items_.size());
  for (Item& item : items_) {
    if (item.array != nullptr) {
      if (!check_update(item.array, name)) return false;
      std::optional<UpdateView> v = view_in_place(item.array);
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

}  // namespace fenro::python
