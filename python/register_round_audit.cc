// fenro._robust.aggregate_with_audit: one round of a fenro._core.ByzantineAggregator that also
// returns the round's audit, the decision on every submitted update and the method record.
#include <utility>

#include "args.h"
#include "audit_tuple.h"
#include "borrow.h"
#include "core_types.h"
#include "errors.h"
#include "fenro/audit/audit.h"
#include "heap_type.h"
#include "register.h"
#include "round_args.h"
#include "update_list.h"

namespace fenro::python {
namespace {

// The round exactly as ByzantineAggregator.aggregate runs it (same borrow, same conversion,
// same library call), with the audit requested. Returns (aggregate, audit, None), or, when
// every update was turned away, (None, audit, message) with the message aggregate raises.
// Any other failure raises what aggregate raises.
PyObject* aggregate_with_audit(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"aggregator", "updates", "client_ids", "weights", nullptr};
    PyObject *py_aggregator, *py_updates, *py_ids = nullptr, *py_weights = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:aggregate_with_audit",
                                     const_cast<char**>(kw), &py_aggregator, &py_updates, &py_ids,
                                     &py_weights)) {
      return nullptr;
    }
    AggregatorInstance* self = core_aggregator(py_aggregator, "fenro._robust");
    if (self == nullptr) return nullptr;
    Borrow borrow(self->borrow, Borrow::kExclusive);
    if (!borrow.ok()) return nullptr;

    RoundArgs round;
    if (!round.convert(py_updates, py_ids, py_weights)) return nullptr;
    audit::RoundAudit audit;
    auto result = self->value->aggregate_weighted(round.updates(), round.client_ids(),
                                                  round.weights(), &audit);
    if (!result.ok()) {
      if (!result.error().is<error::AllUpdatesRejected>()) return raise_fenro_error(result.error());
      return Py_BuildValue("(ONN)", Py_None, audit_tuple(audit),
                           from_text(result.error().message()));
    }
    return Py_BuildValue("(NNO)", from_matrix(std::move(result).value()), audit_tuple(audit),
                         Py_None);
  });
}

PyMethodDef g_functions[] = {
    {"aggregate_with_audit", as_method(aggregate_with_audit), METH_VARARGS | METH_KEYWORDS,
     "aggregate_with_audit(aggregator, updates, client_ids=None, weights=None)\n--\n\n"
     "One aggregator.aggregate(updates, client_ids, weights) round, with its audit.\n\n"
     "Returns (aggregate, audit, None), or (None, audit, message) when every update\n"
     "was turned away. audit is (method, decisions): method a tuple led by the\n"
     "record's name, decisions one (index, client_id, verdict) per submitted update,\n"
     "verdict a tuple led by its name. fenro.robust.aggregate_with_audit turns\n"
     "these into typed objects."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_round_audit(PyObject* module) { return add_functions(module, g_functions); }

}  // namespace fenro::python
