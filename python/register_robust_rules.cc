// fenro._robust: the robust rules beyond fenro._core's five.
#include "heap_type.h"
#include "register.h"

namespace fenro::python {
namespace {

PyMethodDef g_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_robust_rules(PyObject* module) { return add_functions(module, g_functions); }

}  // namespace fenro::python
