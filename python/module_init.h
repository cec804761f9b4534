// The initialisation every extension module of the package shares.
#ifndef FENRO_PYTHON_MODULE_INIT_H_
#define FENRO_PYTHON_MODULE_INIT_H_

#include <Python.h>

#include <atomic>
#include <initializer_list>

namespace fenro::python {

// Creates the module of `def` (m_size 0: no per-module state) with an empty __all__, then runs
// each registration function in order (each adds its names and lists them in __all__).
// A module keeps process-wide state (the worker pool, the bound NumPy table), so it may be
// initialised once per process: `initialised` is its flag, and a second initialisation raises
// ImportError with `second_initialisation`. Returns the module, or nullptr with an exception
// set (and the flag cleared, so that a failed import may be retried).
PyObject* create_module(PyModuleDef* def, std::atomic<bool>& initialised,
                        const char* second_initialisation,
                        std::initializer_list<bool (*)(PyObject*)> registrations);

}  // namespace fenro::python

#endif  // FENRO_PYTHON_MODULE_INIT_H_
