// Argument converters (Python values to library values) and the scalar results (library
// values to Python objects).
//
// Each converter takes the parameter name for its messages, returns true on success, and on
// failure returns false with a Python exception set: a TypeError raised while converting is
// re-raised as "argument '<name>': <reason>" (errors.h), any other exception (for example
// OverflowError or UnicodeEncodeError) passes through unchanged.
#ifndef FENRO_PYTHON_ARGS_H_
#define FENRO_PYTHON_ARGS_H_

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "errors.h"

namespace fenro::python {

// Owns one reference; released on every path, exceptions included.
struct Ref {
  PyObject* p;
  ~Ref() { Py_XDECREF(p); }
};

// A str (or subclass) encoded as UTF-8; lone surrogates raise UnicodeEncodeError.
bool to_text(PyObject* obj, const char* name, std::string* out);
// Python's float conversion (float, int, __float__, __index__), then rounded to the nearest
// float32; values beyond the float32 range become infinities. An int beyond the double range
// raises OverflowError, or with `overflow_to_inf` becomes the infinity of its sign.
bool to_f32(PyObject* obj, const char* name, float* out, bool overflow_to_inf = false);
// Python's float conversion; an int beyond the double range becomes the infinity of its sign,
// so only a TypeError (prefixed) or the object's own exception can arise.
bool to_real(PyObject* obj, const char* name, double* out);

// The accepted range of an integer parameter, for its messages: "<rule> needs an integer
// <min> <= <name> < 2**64<extra>".
struct CountRange {
  const char* rule;   // the function's name, "bulyan"
  uint64_t min;       // the smallest accepted value
  const char* extra;  // "" or a condition the library checks, " with n >= 4f + 3"
};
// An int or an object with __index__ (a NumPy integer) in [range.min, 2^64). bool, NumPy
// bool, float and every other type raise TypeError (errors.h: not_an_integer); a value out of
// the range ValueError (integer_out_of_range). Never OverflowError. An exception that the
// object's own __index__ raises, other than TypeError, passes through.
bool to_count(PyObject* obj, const char* name, const CountRange& range, uint64_t* out);
// None (or a missing argument, passed as nullptr) gives no value.
bool to_optional_count(PyObject* obj, const char* name, const CountRange& range,
                       std::optional<uint64_t>* out);
// None (or a missing argument, passed as nullptr) gives no value.
bool to_optional_f32(PyObject* obj, const char* name, std::optional<float>* out);
// Exactly True or False; ints, NumPy booleans and other truthy objects are refused.
bool to_bool(PyObject* obj, const char* name, bool* out);

// Any object supporting the sequence protocol whose items are all str, in sequence order.
// None or nullptr gives no value. A str itself is refused.
bool to_text_list(PyObject* obj, const char* name, std::optional<std::vector<std::string>>* out);
// Any sequence whose items convert as float32 (a one-dimensional NumPy array works).
bool to_f32_list(PyObject* obj, const char* name, std::optional<std::vector<float>>* out,
                 bool overflow_to_inf = false);

// Calls `each(item)` for every item of a sequence argument in order, holding a strong
// reference to the item during the call. Exact lists and tuples are walked by index (their
// length re-read every step, since an item's conversion may run code that shrinks a list);
// other sequences through the iterator protocol. A str or a non-sequence is refused with the
// fixed reasons. `each` returns false with an exception set to stop.
template <class F>
bool for_each_item(PyObject* obj, const char* name, F&& each) {
  if (PyUnicode_Check(obj)) return raise_argument_error(name, kStrToList);
  if (!PySequence_Check(obj)) return raise_argument_error(name, cannot_convert(obj, kKindSequence));
  // The argument may be borrowed from a keyword dict that an item's conversion code empties.
  Py_INCREF(obj);
  const Ref hold_sequence{obj};
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    const bool list = PyList_CheckExact(obj);
    for (Py_ssize_t i = 0; i < (list ? PyList_Size(obj) : PyTuple_Size(obj)); ++i) {
      PyObject* item = list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
      if (item == nullptr) return false;
      Py_INCREF(item);
      const Ref hold{item};
      if (!each(item)) return false;
    }
    return true;
  }
  const Ref it{PyObject_GetIter(obj)};
  if (it.p == nullptr) return prefix_type_error(name);
  for (;;) {
    const Ref item{PyIter_Next(it.p)};
    if (item.p == nullptr) return PyErr_Occurred() ? prefix_type_error(name) : true;
    if (!each(item.p)) return false;
  }
}

// True when converting these optional client ids and weights cannot run any of the caller's
// Python code: each is None/absent, an exact list or tuple of exact str (ids) or exact
// float/int (weights), or (weights) an exact one-dimensional float32/float64 NumPy array.
// Inspects types only; runs no code. NumPy must be bound when `weights` may be an array.
bool conversion_runs_no_python(PyObject* client_ids, PyObject* weights);

// True for an exact list or tuple (no subclass that could run Python code on item access).
inline bool is_exact_sequence(PyObject* o) { return PyList_CheckExact(o) || PyTuple_CheckExact(o); }
// True when converting this scalar argument runs none of the caller's code: absent, None, or
// an exact int or float.
inline bool is_plain_scalar(PyObject* o) {
  return o == nullptr || o == Py_None || PyLong_CheckExact(o) || PyFloat_CheckExact(o);
}

// Widened exactly to a Python float.
PyObject* from_f32(float value);
// A tuple of Python ints, or of Python floats, in order.
PyObject* from_indices(std::span<const size_t> values);
PyObject* from_doubles(std::span<const double> values);
// A str from UTF-8 bytes; bytes that are not valid UTF-8 are kept as surrogate escapes, so
// this never fails on content.
PyObject* from_text(std::string_view text);

}  // namespace fenro::python

#endif  // FENRO_PYTHON_ARGS_H_
