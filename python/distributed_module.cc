// Module initialisation of fenro._distributed: wiring only. The module is private: the worker
// passes that fenro.distributed's Ray actors run on their shards, and the coordinator's round.
#include <Python.h>

#include <atomic>

#include "distributed_register.h"
#include "module_init.h"

namespace {

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "_distributed",
    nullptr,  // empty docstring
    0,        // no per-module state; m_size 0 lets a second initialisation be detected
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<bool> g_initialised{false};

}  // namespace

PyMODINIT_FUNC PyInit__distributed(void) {
  using namespace fenro::python;
  return create_module(&g_module, g_initialised,
                       "fenro._distributed cannot be initialised twice in one process",
                       {register_distributed_worker, register_distributed_round,
                        register_distributed_rules});
}
