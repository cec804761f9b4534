#include "convert.h"

#include <cstdint>
#include <cstring>
#include <utility>

#include "numpy_api.h"

namespace fenro::python {
namespace {

constexpr const char* kStrToList = "Can't extract `str` to `Vec`";

// The __name__ of the object's type, for messages ("int", "list", "float32").
std::string type_name(PyObject* obj) {
  std::string name = "object";
  PyObject* text = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__");
  if (text != nullptr && PyUnicode_Check(text)) {
    PyObject* bytes = PyUnicode_AsUTF8String(text);
    if (bytes != nullptr) {
      name.assign(PyBytes_AsString(bytes), static_cast<size_t>(PyBytes_Size(bytes)));
      Py_DECREF(bytes);
    }
  }
  Py_XDECREF(text);
  PyErr_Clear();
  return name;
}

// str(obj) as UTF-8, for messages; empty when that fails.
std::string str_of(PyObject* obj) {
  std::string out;
  PyObject* text = obj == nullptr ? nullptr : PyObject_Str(obj);
  if (text != nullptr) {
    PyObject* bytes = PyUnicode_AsEncodedString(text, "utf-8", "replace");
    if (bytes != nullptr) {
      out.assign(PyBytes_AsString(bytes), static_cast<size_t>(PyBytes_Size(bytes)));
      Py_DECREF(bytes);
    }
    Py_DECREF(text);
  }
  PyErr_Clear();
  return out;
}

std::string cannot_convert(PyObject* obj, const char* target) {
  std::string out = "'";
  out += type_name(obj);
  out += "' object cannot be converted to '";
  out += target;
  out += "'";
  return out;
}

// Owns one reference; released on every path, exceptions included.
struct Ref {
  PyObject* p;
  ~Ref() { Py_XDECREF(p); }
};

// Adds the argument prefix to a pending TypeError; leaves any other exception as it is.
bool prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  std::string reason = str_of(value);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return raise_argument_error(name, reason);
}

// Calls `each(item)` for every item of a sequence argument in order, holding a strong
// reference to the item during the call. Exact lists and tuples are walked by index (their
// length re-read every step, since an item's conversion may run code that shrinks a list);
// other sequences through the iterator protocol. A str or a non-sequence is refused with the
// fixed reasons. `each` returns false with an exception set to stop.
template <class F>
bool for_each_item(PyObject* obj, const char* name, F&& each) {
  if (PyUnicode_Check(obj)) return raise_argument_error(name, kStrToList);
  if (!PySequence_Check(obj)) return raise_argument_error(name, cannot_convert(obj, "Sequence"));
  // The argument may be borrowed from a keyword dict that an item's conversion code empties.
  Py_INCREF(obj);
  Ref hold_sequence{obj};
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    const bool list = PyList_CheckExact(obj);
    for (Py_ssize_t i = 0; i < (list ? PyList_Size(obj) : PyTuple_Size(obj)); ++i) {
      PyObject* item = list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
      if (item == nullptr) return false;
      Py_INCREF(item);
      Ref hold{item};
      if (!each(item)) return false;
    }
    return true;
  }
  Ref it{PyObject_GetIter(obj)};
  if (it.p == nullptr) return prefix_type_error(name);
  for (;;) {
    Ref item{PyIter_Next(it.p)};
    if (item.p == nullptr) return PyErr_Occurred() ? prefix_type_error(name) : true;
    if (!each(item.p)) return false;
  }
}

bool exact_items(PyObject* seq, bool (*accept)(PyObject*)) {
  const bool list = PyList_CheckExact(seq);
  Py_ssize_t n = list ? PyList_Size(seq) : PyTuple_Size(seq);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!accept(list ? PyList_GetItem(seq, i) : PyTuple_GetItem(seq, i))) return false;
  }
  return true;
}

bool is_exact_text(PyObject* o) { return PyUnicode_CheckExact(o); }
bool is_exact_number(PyObject* o) { return PyFloat_CheckExact(o) || PyLong_CheckExact(o); }

bool is_exact_sequence(PyObject* o) { return PyList_CheckExact(o) || PyTuple_CheckExact(o); }

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
  if (!numpy::is_array(item)) {
    return raise_argument_error(name, cannot_convert(item, "PyArray<T, D>"));
  }
  auto* a = numpy::as_array(item);
  if (a->nd != 2) {
    return raise_argument_error(
        name, "dimensionality mismatch:\n from=" + std::to_string(a->nd) + ", to=2");
  }
  if (!numpy::has_float32_dtype(item)) {
    return raise_argument_error(name,
                                "type mismatch:\n from=" + str_of(a->descr) + ", to=float32");
  }
  return true;
}

}  // namespace

// ---- Errors -------------------------------------------------------------------------------

PyObject* raise_value_error(std::string_view message) {
  // Through a str object, not a C string: messages may hold NUL bytes (client ids).
  PyObject* text = from_text(message);
  if (text == nullptr) return nullptr;
  PyErr_SetObject(PyExc_ValueError, text);
  Py_DECREF(text);
  return nullptr;
}

PyObject* raise_fenro_error(const FenroError& error) { return raise_value_error(error.message()); }

bool raise_argument_error(const char* name, std::string_view reason) {
  std::string message = "argument '";
  message += name;
  message += "': ";
  message += reason;
  PyObject* text = from_text(message);
  if (text != nullptr) {
    PyErr_SetObject(PyExc_TypeError, text);
    Py_DECREF(text);
  }
  return false;
}

// ---- Borrow flags ---------------------------------------------------------------------------

Borrow::Borrow(int& flag, Kind kind) : flag_(flag), kind_(kind) {
  if (kind == kExclusive) {
    if (flag != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return;
    }
    flag = -1;
  } else {
    if (flag < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return;
    }
    ++flag;
  }
  held_ = true;
}

Borrow::~Borrow() {
  if (!held_) return;
  if (kind_ == kExclusive) {
    flag_ = 0;
  } else {
    --flag_;
  }
}

// ---- Scalars ------------------------------------------------------------------------------

bool to_text(PyObject* obj, const char* name, std::string* out) {
  if (!PyUnicode_Check(obj)) return raise_argument_error(name, cannot_convert(obj, "PyString"));
  PyObject* bytes = PyUnicode_AsUTF8String(obj);
  if (bytes == nullptr) return prefix_type_error(name);
  out->assign(PyBytes_AsString(bytes), static_cast<size_t>(PyBytes_Size(bytes)));
  Py_DECREF(bytes);
  return true;
}

bool to_f32(PyObject* obj, const char* name, float* out) {
  double d = PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) return prefix_type_error(name);
  // Rounds to nearest; beyond the float32 range this gives an infinity (IEEE conversion).
  *out = static_cast<float>(d);
  return true;
}

bool to_optional_f32(PyObject* obj, const char* name, std::optional<float>* out) {
  if (obj == nullptr || obj == Py_None) {
    out->reset();
    return true;
  }
  float v = 0.0f;
  if (!to_f32(obj, name, &v)) return false;
  *out = v;
  return true;
}

bool to_bool(PyObject* obj, const char* name, bool* out) {
  if (obj != Py_True && obj != Py_False) {
    return raise_argument_error(name, cannot_convert(obj, "PyBool"));
  }
  *out = obj == Py_True;
  return true;
}

// ---- Lists ----------------------------------------------------------------------------------

bool to_text_list(PyObject* obj, const char* name, std::optional<std::vector<std::string>>* out) {
  out->reset();
  if (obj == nullptr || obj == Py_None) return true;
  std::vector<std::string> ids;
  bool ok = for_each_item(obj, name, [&](PyObject* item) {
    std::string id;
    if (!to_text(item, name, &id)) return false;
    ids.push_back(std::move(id));
    return true;
  });
  if (ok) *out = std::move(ids);
  return ok;
}

bool to_f32_list(PyObject* obj, const char* name, std::optional<std::vector<float>>* out) {
  out->reset();
  if (obj == nullptr || obj == Py_None) return true;
  std::vector<float> values;
  bool ok = for_each_item(obj, name, [&](PyObject* item) {
    float v = 0.0f;
    if (!to_f32(item, name, &v)) return false;
    values.push_back(v);
    return true;
  });
  if (ok) *out = std::move(values);
  return ok;
}

bool conversion_runs_no_python(PyObject* client_ids, PyObject* weights) {
  bool ids_safe = client_ids == nullptr || client_ids == Py_None ||
                  (is_exact_sequence(client_ids) && exact_items(client_ids, is_exact_text));
  if (!ids_safe) return false;
  if (weights == nullptr || weights == Py_None) return true;
  if (is_exact_sequence(weights)) return exact_items(weights, is_exact_number);
  // Iterating an exact ndarray of float dtype yields NumPy float scalars, whose conversion is
  // NumPy's own C code.
  return numpy::is_exact_array(weights) && numpy::as_array(weights)->nd == 1 &&
         (numpy::has_float32_dtype(weights) || numpy::has_float64_dtype(weights));
}

bool updates_need_no_numpy(PyObject* obj) {
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

// ---- Results --------------------------------------------------------------------------------

PyObject* from_f32(float value) { return PyFloat_FromDouble(static_cast<double>(value)); }

PyObject* from_text(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                              "surrogateescape");
}

PyObject* from_matrix(Matrix matrix) {
  if (!numpy::ensure_loaded()) return nullptr;
  const size_t rows = matrix.rows();
  const size_t cols = matrix.cols();
  return numpy::adopt_float32_matrix(matrix.release(), rows, cols, update::free_matrix_buffer);
}

// ---- Module wiring --------------------------------------------------------------------------

PyTypeObject* add_type(PyObject* module, PyType_Spec* type_spec, const char* name) {
  PyObject* type = PyType_FromSpec(type_spec);
  if (type == nullptr) return nullptr;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  PyObject* text = all == nullptr ? nullptr : PyUnicode_FromString(name);
  bool ok = text != nullptr && PyList_Append(all, text) == 0;
  Py_XDECREF(text);
  Py_XDECREF(all);
  if (ok) {
    Py_INCREF(type);  // one reference for the module, one returned
    if (PyModule_AddObject(module, name, type) < 0) {
      Py_DECREF(type);
      ok = false;
    }
  }
  if (!ok) {
    Py_DECREF(type);
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace fenro::python
