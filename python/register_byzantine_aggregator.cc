// The Python class ByzantineAggregator: a configured aggregator that owns its reputation store.
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "args.h"
#include "borrow.h"
#include "core_types.h"
#include "errors.h"
#include "fenro/pipeline/aggregator.h"
#include "fenro/pipeline/policy.h"
#include "heap_type.h"
#include "register.h"
#include "round_args.h"
#include "update_list.h"

namespace fenro::python {
namespace {

using pipeline::AggregationMethod;
using pipeline::ByzantineAggregator;

using Self = AggregatorInstance;

PyTypeObject* g_type = nullptr;  // set once at registration, lives for the process

Self* self_of(PyObject* self) { return Self::of(self); }

// The first failing step wins: argument conversion in parameter order (TypeError), the method
// text, then the threshold and the norm bound (ValueError).
PyObject* aggregator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"method",        "trim_fraction", "ban_threshold",
                               "adaptive_trim", "norm_bound",    nullptr};
    PyObject *py_method, *py_trim, *py_ban = nullptr, *py_adaptive = nullptr, *py_bound = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOO:ByzantineAggregator",
                                     const_cast<char**>(kw), &py_method, &py_trim, &py_ban,
                                     &py_adaptive, &py_bound)) {
      return nullptr;
    }
    std::string method_text;
    float trim = 0.0f;
    float ban = pipeline::kDefaultBanThreshold;
    bool adaptive = pipeline::kDefaultAdaptiveTrim;
    std::optional<float> bound;
    if (!to_text(py_method, "method", &method_text) || !to_f32(py_trim, "trim_fraction", &trim) ||
        (py_ban != nullptr && !to_f32(py_ban, "ban_threshold", &ban)) ||
        (py_adaptive != nullptr && !to_bool(py_adaptive, "adaptive_trim", &adaptive)) ||
        !to_optional_f32(py_bound, "norm_bound", &bound)) {
      return nullptr;
    }
    auto method = pipeline::parse_method(method_text);
    if (auto* message = std::get_if<std::string>(&method)) return raise_value_error(*message);
    auto made = ByzantineAggregator::create(std::get<AggregationMethod>(method), trim, ban,
                                            adaptive, bound);
    if (!made.ok()) return raise_fenro_error(made.error());
    return new_instance(type, std::move(made).value());
  });
}

PyObject* get_norm_bound(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(self_of(self)->borrow, Borrow::kShared);
    if (!borrow.ok()) return nullptr;
    std::optional<float> bound = self_of(self)->value->norm_bound();
    if (!bound) Py_RETURN_NONE;
    return from_f32(*bound);
  });
}

PyObject* aggregate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"updates", "client_ids", "weights", nullptr};
    PyObject *py_updates, *py_ids = nullptr, *py_weights = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:aggregate", const_cast<char**>(kw),
                                     &py_updates, &py_ids, &py_weights)) {
      return nullptr;
    }
    Borrow borrow(self_of(self)->borrow, Borrow::kExclusive);
    if (!borrow.ok()) return nullptr;

    RoundArgs round;
    if (!round.convert(py_updates, py_ids, py_weights)) return nullptr;
    auto result = self_of(self)->value->aggregate_weighted(round.updates(), round.client_ids(),
                                                           round.weights());
    if (!result.ok()) return raise_fenro_error(result.error());
    return from_matrix(std::move(result).value());
  });
}

PyObject* get_reputation(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"client_id", nullptr};
    PyObject* py_id;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:get_reputation", const_cast<char**>(kw),
                                     &py_id)) {
      return nullptr;
    }
    Borrow borrow(self_of(self)->borrow, Borrow::kShared);
    if (!borrow.ok()) return nullptr;
    std::string id;
    if (!to_text(py_id, "client_id", &id)) return nullptr;
    return from_f32(self_of(self)->value->reputation().get_score(id));
  });
}

PyObject* reset_reputation(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(self_of(self)->borrow, Borrow::kExclusive);
    if (!borrow.ok()) return nullptr;
    self_of(self)->value->reputation().reset();
    Py_RETURN_NONE;
  });
}

PyObject* decay_reputations(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"rate", nullptr};
    PyObject* py_rate = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:decay_reputations",
                                     const_cast<char**>(kw), &py_rate)) {
      return nullptr;
    }
    Borrow borrow(self_of(self)->borrow, Borrow::kExclusive);
    if (!borrow.ok()) return nullptr;
    float rate = pipeline::kDefaultDecayRate;
    if (py_rate != nullptr && !to_f32(py_rate, "rate", &rate)) return nullptr;
    Status status = self_of(self)->value->reputation().decay_toward_default(rate);
    if (!status.ok()) return raise_fenro_error(status.error());
    Py_RETURN_NONE;
  });
}

PyObject* to_json(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(self_of(self)->borrow, Borrow::kShared);
    if (!borrow.ok()) return nullptr;
    return from_text(self_of(self)->value->to_json());
  });
}

PyObject* from_json(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"json_str", nullptr};
    PyObject* py_text;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:from_json", const_cast<char**>(kw),
                                     &py_text)) {
      return nullptr;
    }
    std::string text;
    if (!to_text(py_text, "json_str", &text)) return nullptr;
    auto loaded = ByzantineAggregator::from_json(text);
    if (auto* message = std::get_if<std::string>(&loaded)) return raise_value_error(*message);
    return new_instance(g_type, std::get<ByzantineAggregator>(std::move(loaded)));
  });
}

#define FENRO_DOC_CLASS                                                                        \
  "ByzantineAggregator(method, trim_fraction, ban_threshold=0.0, adaptive_trim=False, "      \
  "norm_bound=None)\n--\n\n"                                                                 \
  "Byzantine-tolerant aggregator for federated learning model updates.\n\n"                  \
  "Wraps the natively implemented aggregation algorithms (trimmed mean, median,\n"           \
  "fedavg) with optional client reputation tracking and optional norm-bound\n"               \
  "filtering.\n\n"                                                                           \
  "Audit records are not exposed through this binding yet: their typed, versioned\n"         \
  "schema is still experimental. A later binding may return the serialised audit\n"         \
  "entry as a dictionary."

PyMethodDef g_methods[] = {
    {"aggregate", as_method(aggregate), METH_VARARGS | METH_KEYWORDS,
     "aggregate($self, updates, client_ids=None, weights=None)\n--\n\n"
     "Aggregate client model updates using the configured method.\n\n"
     "Args:\n"
     "    updates: List of 2D numpy arrays (one per client).\n"
     "    client_ids: Optional list of client identifier strings for reputation tracking.\n\n"
     "Returns:\n"
     "    Aggregated 2D numpy array."},
    {"get_reputation", as_method(get_reputation), METH_VARARGS | METH_KEYWORDS,
     "get_reputation($self, client_id)\n--\n\n"
     "Get the reputation score for a client (default 0.5 for unknown clients)."},
    {"reset_reputation", reset_reputation, METH_NOARGS,
     "reset_reputation($self)\n--\n\nReset all reputation scores."},
    {"decay_reputations", as_method(decay_reputations), METH_VARARGS | METH_KEYWORDS,
     "decay_reputations($self, rate=0.02)\n--\n\n"
     "Decay all reputation scores toward 0.5 (default).\n\n"
     "Call once per round to allow penalized clients to recover.\n\n"
     "Args:\n"
     "    rate: Decay rate in [0.0, 1.0]. Typical: 0.01-0.05.\n\n"
     "Raises:\n"
     "    ValueError: If rate is not finite and within [0.0, 1.0].\n"
     "        No score changes when the rate is rejected."},
    {"to_json", to_json, METH_NOARGS,
     "to_json($self)\n--\n\nSerialize aggregator state to JSON for persistence."},
    {"from_json", as_method(from_json), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_json(json_str)\n--\n\nRestore aggregator from a JSON string."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"norm_bound", get_norm_bound, nullptr,
     "The configured norm bound, or None when filtering is disabled.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(aggregator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ByzantineAggregator>)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {Py_tp_doc, const_cast<char*>(FENRO_DOC_CLASS)},
    {0, nullptr},
};

PyType_Spec g_spec = instance_spec<ByzantineAggregator>("builtins.ByzantineAggregator", g_slots);

}  // namespace

bool register_byzantine_aggregator(PyObject* module) {
  g_type = add_type(module, &g_spec);
  return g_type != nullptr;
}

}  // namespace fenro::python
