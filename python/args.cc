#include "args.h"

#include <cmath>
#include <utility>

#include "numpy_api.h"

namespace fenro::python {
namespace {

bool exact_items(PyObject* seq, bool (*accept)(PyObject*)) {
  const bool list = PyList_CheckExact(seq);
  Py_ssize_t n = list ? PyList_Size(seq) : PyTuple_Size(seq);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!accept(list ? PyList_GetItem(seq, i) : PyTuple_GetItem(seq, i))) return false;
  }
  return true;
}

bool is_text(PyObject* o) { return PyUnicode_Check(o); }
// Numbers whose float conversion is C code: Python's exact float and int, NumPy's scalars.
bool is_plain_number(PyObject* o) {
  return PyFloat_CheckExact(o) || PyLong_CheckExact(o) || numpy::is_number_scalar(o);
}

// Python's float conversion; with `overflow_to_inf`, an int too large for a double gives the
// infinity of its sign instead of OverflowError. False with an exception set on failure.
bool as_double(PyObject* obj, bool overflow_to_inf, double* out) {
  double d = PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) {
    if (!overflow_to_inf || !PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    // Only an integer overflows the conversion: __float__ returns a float.
    const Ref index{PyNumber_Index(obj)};
    const Ref zero{index.p == nullptr ? nullptr : PyLong_FromLong(0)};
    if (zero.p == nullptr) return false;
    const int negative = PyObject_RichCompareBool(index.p, zero.p, Py_LT);
    if (negative < 0) return false;
    d = negative ? -HUGE_VAL : HUGE_VAL;
  }
  *out = d;
  return true;
}

// A NumPy bool scalar, told by its type's name: NumPy need not be bound to recognise one.
bool is_numpy_bool(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  const Ref module{PyObject_GetAttrString(type, "__module__")};
  const Ref name{module.p == nullptr ? nullptr : PyObject_GetAttrString(type, "__name__")};
  bool is_bool = false;
  if (name.p != nullptr && PyUnicode_Check(module.p) && PyUnicode_Check(name.p)) {
    is_bool = PyUnicode_CompareWithASCIIString(module.p, "numpy") == 0 &&
              (PyUnicode_CompareWithASCIIString(name.p, "bool_") == 0 ||
               PyUnicode_CompareWithASCIIString(name.p, "bool") == 0);
  }
  PyErr_Clear();
  return is_bool;
}

}  // namespace

bool to_text(PyObject* obj, const char* name, std::string* out) {
  if (!PyUnicode_Check(obj)) return raise_argument_error(name, cannot_convert(obj, kKindString));
  PyObject* bytes = PyUnicode_AsUTF8String(obj);
  if (bytes == nullptr) return prefix_type_error(name);
  out->assign(PyBytes_AsString(bytes), static_cast<size_t>(PyBytes_Size(bytes)));
  Py_DECREF(bytes);
  return true;
}

bool to_f32(PyObject* obj, const char* name, float* out, bool overflow_to_inf) {
  double d = 0.0;
  if (!as_double(obj, overflow_to_inf, &d)) return prefix_type_error(name);
  // Rounds to nearest; beyond the float32 range this gives an infinity (IEEE conversion).
  *out = static_cast<float>(d);
  return true;
}

bool to_real(PyObject* obj, const char* name, double* out) {
  if (!as_double(obj, true, out)) return prefix_type_error(name);
  return true;
}

bool to_count(PyObject* obj, const char* name, const CountRange& range, uint64_t* out) {
  const std::string need = integer_requirement(range.rule, name, range.min, range.extra);
  if (PyBool_Check(obj) || (!PyLong_Check(obj) && is_numpy_bool(obj))) {
    return raise_argument_error(name, not_an_integer(obj, need));
  }
  const Ref index{PyNumber_Index(obj)};
  if (index.p == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    return raise_argument_error(name, not_an_integer(obj, need));
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.p);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    // Negative, or 2^64 and above.
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    raise_value_error(integer_out_of_range(index.p, name, need));
    return false;
  }
  if (v < range.min) {
    raise_value_error(integer_out_of_range(index.p, name, need));
    return false;
  }
  *out = static_cast<uint64_t>(v);
  return true;
}

bool to_optional_count(PyObject* obj, const char* name, const CountRange& range,
                       std::optional<uint64_t>* out) {
  out->reset();
  if (obj == nullptr || obj == Py_None) return true;
  uint64_t v = 0;
  if (!to_count(obj, name, range, &v)) return false;
  *out = v;
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
    return raise_argument_error(name, cannot_convert(obj, kKindBool));
  }
  *out = obj == Py_True;
  return true;
}

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

bool to_f32_list(PyObject* obj, const char* name, std::optional<std::vector<float>>* out,
                 bool overflow_to_inf) {
  out->reset();
  if (obj == nullptr || obj == Py_None) return true;
  std::vector<float> values;
  bool ok = for_each_item(obj, name, [&](PyObject* item) {
    float v = 0.0f;
    if (!to_f32(item, name, &v, overflow_to_inf)) return false;
    values.push_back(v);
    return true;
  });
  if (ok) *out = std::move(values);
  return ok;
}

bool conversion_runs_no_python(PyObject* client_ids, PyObject* weights) {
  // Text is read by CPython's own encoder, whatever str subclass holds it (NumPy's str_
  // included); iterating an exact ndarray of unicode dtype yields such str_ scalars.
  const bool ids_safe =
      client_ids == nullptr || client_ids == Py_None ||
      (is_exact_sequence(client_ids) && exact_items(client_ids, is_text)) ||
      (numpy::is_exact_array(client_ids) && numpy::as_array(client_ids)->nd == 1 &&
       numpy::has_text_dtype(client_ids));
  if (!ids_safe) return false;
  if (weights == nullptr || weights == Py_None) return true;
  if (is_exact_sequence(weights)) return exact_items(weights, is_plain_number);
  // Iterating an exact ndarray of float dtype yields NumPy float scalars, whose conversion is
  // NumPy's own C code.
  return numpy::is_exact_array(weights) && numpy::as_array(weights)->nd == 1 &&
         (numpy::has_float32_dtype(weights) || numpy::has_float64_dtype(weights));
}

PyObject* from_f32(float value) { return PyFloat_FromDouble(static_cast<double>(value)); }

namespace {

template <class T, class Make>
PyObject* tuple_of(std::span<const T> values, Make&& make) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(values.size()));
  if (tuple == nullptr) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = make(values[i]);
    if (item == nullptr) {
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SetItem(tuple, static_cast<Py_ssize_t>(i), item);  // steals the item
  }
  return tuple;
}

}  // namespace

PyObject* from_indices(std::span<const size_t> values) {
  return tuple_of(values, [](size_t v) { return PyLong_FromSize_t(v); });
}

PyObject* from_doubles(std::span<const double> values) {
  return tuple_of(values, [](double v) { return PyFloat_FromDouble(v); });
}

PyObject* from_text(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                              "surrogateescape");
}

}  // namespace fenro::python
