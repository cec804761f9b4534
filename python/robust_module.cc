// Module initialisation of fenro._robust: wiring only.
#include <Python.h>

#include <atomic>

#include "errors.h"
#include "module_init.h"
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
  using namespace fenro::python;
  // The functions are added, and listed in __all__, in this order.
  return create_module(&g_module, g_initialised, kRobustSecondInitialisation,
                       {register_classic_rules, register_robust_rules, register_preaggregation,
                        register_round_audit, register_round_helpers, register_pieces});
}
