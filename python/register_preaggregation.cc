// fenro._robust: the pre-aggregators, which turn n updates into mixed, bucketed or clipped ones.
#include "heap_type.h"
#include "register.h"

namespace fenro::python {
namespace {

PyMethodDef g_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_preaggregation(PyObject* module) { return add_functions(module, g_functions); }

}  // namespace fenro::python
