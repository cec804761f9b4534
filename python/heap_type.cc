#include "heap_type.h"

#include <cstring>

namespace fenro::python {

PyTypeObject* add_type(PyObject* module, PyType_Spec* type_spec) {
  const char* dot = std::strrchr(type_spec->name, '.');
  const char* name = dot == nullptr ? type_spec->name : dot + 1;
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

bool add_functions(PyObject* module, PyMethodDef* methods) {
  if (PyModule_AddFunctions(module, methods) < 0) return false;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) return false;
  bool ok = true;
  for (PyMethodDef* m = methods; ok && m->ml_name != nullptr; ++m) {
    if (m->ml_name[0] == '_') continue;  // a private helper: reachable, never listed
    PyObject* text = PyUnicode_FromString(m->ml_name);
    ok = text != nullptr && PyList_Append(all, text) == 0;
    Py_XDECREF(text);
  }
  Py_DECREF(all);
  return ok;
}

}  // namespace fenro::python
