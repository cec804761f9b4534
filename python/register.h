// The registration function of each class of fenro._core, one register_<class>.cc each;
// module.cc calls them in order.
#ifndef FENRO_PYTHON_REGISTER_H_
#define FENRO_PYTHON_REGISTER_H_

#include <Python.h>

namespace fenro::python {

// Each creates its class, adds it to the module and appends its name to __all__. Returns false
// with a Python exception set on failure.
bool register_byzantine_aggregator(PyObject* module);
bool register_reputation_manager(PyObject* module);

}  // namespace fenro::python

#endif  // FENRO_PYTHON_REGISTER_H_
