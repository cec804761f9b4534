// The function groups of fenro._distributed. Each adds its functions (all private: a leading
// underscore) to the module. Returns false with a Python exception set on failure.
#ifndef FENRO_PYTHON_DISTRIBUTED_REGISTER_H_
#define FENRO_PYTHON_DISTRIBUTED_REGISTER_H_

#include <Python.h>

namespace fenro::python {

// The passes a worker runs on the coordinate range it holds (distributed_worker.cc).
bool register_distributed_worker(PyObject* module);
// The coordinator's round over a Python driver of the workers (distributed_round.cc).
bool register_distributed_round(PyObject* module);
// fenro.robust's coordinate-wise rules over the driver's workers (distributed_rules.cc).
bool register_distributed_rules(PyObject* module);

}  // namespace fenro::python

#endif  // FENRO_PYTHON_DISTRIBUTED_REGISTER_H_
