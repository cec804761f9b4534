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

}  // namespace fenro::python

#endif  // FENRO_PYTHON_CORE_TYPES_H_
