// Module initialisation of fenro._robust: wiring only.
#include <Python.h>

#include <atomic>

#include "errors.h"
#include "register.h"

namespace {

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "_robust",
    nullptr,  // empty docstring
    0,        // no per-module state; m_size 0 lets a second initialisation be detected
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<bool> g_initialised{false};

}  // namespace

PyMODINIT_FUNC PyInit__robust(void) {
  // The module caches process-wide state (the bound NumPy table, _core's class), so it may be
  // initialised once per process only.
  if (g_initialised.exchange(true)) {
    PyErr_SetString(PyExc_ImportError, fenro::python::kRobustSecondInitialisation);
    return nullptr;
  }
  PyObject* m = PyModule_Create(&g_module);
  if (m == nullptr) {
    g_initialised = false;
    return nullptr;
  }
  PyObject* all = PyList_New(0);
  if (all == nullptr || PyModule_AddObject(m, "__all__", all) < 0) {
    Py_XDECREF(all);
    Py_DECREF(m);
    g_initialised = false;
    return nullptr;
  }
  // The functions are added, and listed in __all__, in this order.
  if (!fenro::python::register_classic_rules(m) || !fenro::python::register_robust_rules(m) ||
      !fenro::python::register_preaggregation(m) || !fenro::python::register_round_audit(m)) {
    Py_DECREF(m);
    g_initialised = false;
    return nullptr;
  }
  return m;
}
