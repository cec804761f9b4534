// The registration functions of the extension modules, one register_<area>.cc each: the classes
// of fenro._core, which module.cc registers, and the function groups of fenro._robust, which
// robust_module.cc registers, each in the order below.
#ifndef FENRO_PYTHON_REGISTER_H_
#define FENRO_PYTHON_REGISTER_H_

#include <Python.h>

namespace fenro::python {

// Each creates its class, adds it to the module and appends its name to __all__. Returns false
// with a Python exception set on failure.
bool register_byzantine_aggregator(PyObject* module);
bool register_reputation_manager(PyObject* module);

// Each adds its functions to the module and appends their public names (those without a leading
// underscore) to __all__. Returns false with a Python exception set on failure.
bool register_classic_rules(PyObject* module);
bool register_robust_rules(PyObject* module);
bool register_preaggregation(PyObject* module);
bool register_round_audit(PyObject* module);
bool register_round_helpers(PyObject* module);
bool register_pieces(PyObject* module);

}  // namespace fenro::python

#endif  // FENRO_PYTHON_REGISTER_H_
