// The round's audit (audit::RoundAudit) as plain Python tuples, which fenro.robust turns into
// typed objects: shared by fenro._robust.aggregate_with_audit and fenro.distributed's round.
#ifndef FENRO_PYTHON_AUDIT_TUPLE_H_
#define FENRO_PYTHON_AUDIT_TUPLE_H_

#include <Python.h>

#include "fenro/audit/audit.h"

namespace fenro::python {

// (method, decisions): method a tuple led by its record's name, the fields in declaration
// order: ("TrimmedMean", configured_trim, effective_trim or None, adaptive), ("Median",),
// ("FedAvg",), ("Krum", f), ("MultiKrum", f, requested_m or None, selected_m or None);
// decisions one (index, client id or None, verdict) per submitted update, verdict
// ("Admitted",), ("ExcludedByReputation", score, threshold) or ("RejectedByNormBound", bound,
// norm). A new reference, or nullptr with an exception set.
PyObject* audit_tuple(const audit::RoundAudit& audit);

}  // namespace fenro::python

#endif  // FENRO_PYTHON_AUDIT_TUPLE_H_
