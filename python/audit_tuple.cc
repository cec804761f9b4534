#include "audit_tuple.h"

#include <optional>
#include <type_traits>
#include <variant>

#include "args.h"

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
}  // namespace

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

}  // namespace fenro::python
