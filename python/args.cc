#include "args.h"

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

bool is_exact_text(PyObject* o) { return PyUnicode_CheckExact(o); }
bool is_exact_number(PyObject* o) { return PyFloat_CheckExact(o) || PyLong_CheckExact(o); }

}  // namespace

bool to_text(PyObject* obj, const char* name, std::string* out) {
  if (!PyUnicode_Check(obj)) return raise_argument_error(name, cannot_convert(obj, kKindString));
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

PyObject* from_f32(float value) { return PyFloat_FromDouble(static_cast<double>(value)); }

PyObject* from_text(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                              "surrogateescape");
}

}  // namespace fenro::python
