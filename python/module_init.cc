#include "module_init.h"

namespace fenro::python {

PyObject* create_module(PyModuleDef* def, std::atomic<bool>& initialised,
                        const char* second_initialisation,
                        std::initializer_list<bool (*)(PyObject*)> registrations) {
  if (initialised.exchange(true)) {
    PyErr_SetString(PyExc_ImportError, second_initialisation);
    return nullptr;
  }
  PyObject* m = PyModule_Create(def);
  if (m == nullptr) {
    initialised = false;
    return nullptr;
  }
  PyObject* all = PyList_New(0);
  bool ok = all != nullptr && PyModule_AddObject(m, "__all__", all) == 0;
  if (!ok) Py_XDECREF(all);
  for (auto registration : registrations) ok = ok && registration(m);
  if (!ok) {
    Py_DECREF(m);
    initialised = false;
    return nullptr;
  }
  return m;
}

}  // namespace fenro::python
