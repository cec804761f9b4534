#include "errors.h"

#include "args.h"

namespace fenro::python {
namespace {

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

}  // namespace

std::string cannot_convert(PyObject* obj, const char* kind) {
  std::string out = "'";
  out += type_name(obj);
  out += "' object cannot be converted to '";
  out += kind;
  out += "'";
  return out;
}

std::string dimensionality_mismatch(int nd) {
  return "dimensionality mismatch:\n from=" + std::to_string(nd) + ", to=2";
}

std::string type_mismatch(PyObject* dtype) {
  return "type mismatch:\n from=" + str_of(dtype) + ", to=float32";
}

std::string integer_requirement(const char* rule, const char* name, uint64_t min,
                                const char* extra) {
  return std::string(rule) + " needs an integer " + std::to_string(min) + " <= " + name +
         " < 2**64" + extra;
}

std::string not_an_integer(PyObject* obj, std::string_view requirement) {
  return std::string(requirement) + ", got '" + type_name(obj) + "'";
}

std::string integer_out_of_range(PyObject* value, const char* name, std::string_view requirement) {
  return std::string(name) + " = " + str_of(value) + " is out of range: " +
         std::string(requirement);
}

PyObject* missing_keyword(const char* fn, const char* name) {
  PyErr_Format(PyExc_TypeError, "%s() missing 1 required keyword-only argument: '%s'", fn, name);
  return nullptr;
}

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

}  // namespace fenro::python
