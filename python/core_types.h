// The instance layouts of fenro._core's classes. Every extension module of the package that
// works on a _core object includes this header, so all of them agree on where an instance
// keeps its borrow flag and its library value; the library code that works on the value is
// the one copy in the package's shared library.
#ifndef FENRO_PYTHON_CORE_TYPES_H_
#define FENRO_PYTHON_CORE_TYPES_H_

#include "fenro/pipeline/aggregator.h"
#include "heap_type.h"

namespace fenro::python {

// fenro._core.ByzantineAggregator.
using AggregatorInstance = Instance<pipeline::ByzantineAggregator>;

// The instance behind `obj` in another module (`module`, "fenro._robust", names it in the
// error): `obj` must be exactly fenro._core.ByzantineAggregator (the class cannot be
// subclassed, and the layout read is its own), else TypeError for the argument 'aggregator';
// ImportError when _core's instance size is not the layout this module was built with. The
// type is looked up on first use and kept for the process. nullptr with the exception set.
AggregatorInstance* core_aggregator(PyObject* obj, const char* module);

}  // namespace fenro::python

#endif  // FENRO_PYTHON_CORE_TYPES_H_
