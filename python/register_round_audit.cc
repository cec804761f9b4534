// fenro._robust.aggregate_with_audit: one round of a fenro._core.ByzantineAggregator that also
// returns the round's audit, the decision on every submitted update and the method record.
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "args.h"
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

PyObject* optional_f32(const std::optional<float>& v) {
  if (!v) Py_RETURN_NONE;
  return from_f32(*v);
}

PyObject* optional_u64(const std::optional<uint64_t>& v) {
  if (!v) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*v);
}

// The method record as a tuple led by its variant's name, the fields in declaration order:
// ("TrimmedMean", configured_trim, effective_trim or None, adaptive), ("Median",), ("FedAvg",),
// ("Krum", f), ("MultiKrum", f, requested_m or None, selected_m or None).
PyObject* method_tuple(const audit::RoundMethodRecord& method) {
  return std::visit(
      [](const auto& r) -> PyObject* {
        using R = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<R, audit::record::TrimmedMean>) {
          return Py_BuildValue("(sNNO)", "TrimmedMean", from_f32(r.configured_trim),
                               optional_f32(r.effective_trim), r.adaptive ? Py_True : Py_False);
        } else if constexpr (std::is_same_v<R, audit::record::Median>) {
          return Py_BuildValue("(s)", "Median");
        } else if constexpr (std::is_same_v<R, audit::record::FedAvg>) {
          return Py_BuildValue("(s)", "FedAvg");
        } else if constexpr (std::is_same_v<R, audit::record::Krum>) {
          return Py_BuildValue("(sK)", "Krum", static_cast<unsigned long long>(r.f));
        } else {
          return Py_BuildValue("(sKNN)", "MultiKrum", static_cast<unsigned long long>(r.f),
                               optional_u64(r.requested_m), optional_u64(r.selected_m));
        }
      },
      method);
}

// ("Admitted",), ("ExcludedByReputation", score, threshold), ("RejectedByNormBound", bound,
// norm).
PyObject* verdict_tuple(const audit::AuditVerdict& verdict) {
  return std::visit(
      [](const auto& v) -> PyObject* {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, audit::ExcludedByReputation>) {
          return Py_BuildValue("(sNN)", "ExcludedByReputation", from_f32(v.score),
                               from_f32(v.threshold));
        } else if constexpr (std::is_same_v<V, audit::RejectedByNormBound>) {
          return Py_BuildValue("(sNd)", "RejectedByNormBound", from_f32(v.bound), v.norm);
        } else {
          return Py_BuildValue("(s)", "Admitted");
        }
      },
      verdict);
}

// (method tuple, decisions), each decision (index, client id or None, verdict tuple).
PyObject* audit_tuple(const audit::RoundAudit& audit) {
  PyObject* decisions = PyTuple_New(static_cast<Py_ssize_t>(audit.decisions.size()));
  if (decisions == nullptr) return nullptr;
  for (size_t i = 0; i < audit.decisions.size(); ++i) {
    const audit::AggregationAuditDecision& d = audit.decisions[i];
    PyObject* id = nullptr;
    if (d.client_id) {
      id = from_text(*d.client_id);
    } else {
      Py_INCREF(Py_None);
      id = Py_None;
    }
    const auto index = static_cast<unsigned long long>(d.index);
    PyObject* item =
        id == nullptr ? nullptr : Py_BuildValue("(KNN)", index, id, verdict_tuple(d.verdict));
    if (item == nullptr) {
      Py_DECREF(decisions);
      return nullptr;
    }
    PyTuple_SetItem(decisions, static_cast<Py_ssize_t>(i), item);  // steals the item
  }
  return Py_BuildValue("(NN)", method_tuple(audit.method), decisions);
}

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
