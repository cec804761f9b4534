// The Python class ReputationManager: a standalone reputation store with a fixed ban threshold.
#include <string>
#include <utility>
#include <variant>

#include "args.h"
#include "borrow.h"
#include "errors.h"
#include "fenro/pipeline/policy.h"
#include "fenro/reputation/store.h"
#include "heap_type.h"
#include "register.h"

namespace fenro::python {
namespace {

using reputation::ReputationStore;

// What an instance owns: the store and its ban threshold, fixed for the life of the object.
struct Manager {
  ReputationStore store;
  float ban_threshold;  // finite, in [0, 1]
};
using Self = Instance<Manager>;

PyTypeObject* g_type = nullptr;  // set once at registration, lives for the process

Manager& manager_of(PyObject* self) { return *Self::of(self)->value; }
int& borrow_of(PyObject* self) { return Self::of(self)->borrow; }

// Raises the store's InvalidReputationThreshold unless the threshold is valid.
bool check_threshold(float threshold) {
  Status checked = reputation::check_ban_threshold(threshold);
  if (checked.ok()) return true;
  raise_fenro_error(checked.error());
  return false;
}

PyObject* manager_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"ban_threshold", nullptr};
    PyObject* py_threshold = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:ReputationManager",
                                     const_cast<char**>(kw), &py_threshold)) {
      return nullptr;
    }
    float threshold = pipeline::kManagerBanThreshold;
    if (py_threshold != nullptr && !to_f32(py_threshold, "ban_threshold", &threshold)) {
      return nullptr;
    }
    if (!check_threshold(threshold)) return nullptr;
    return new_instance(type, Manager{ReputationStore(), threshold});
  });
}

// The shape shared by the methods that take one client id and read the store.
template <class F>
PyObject* with_client(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                      F&& body) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"client_id", nullptr};
    PyObject* py_id;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kw), &py_id)) {
      return nullptr;
    }
    Borrow borrow(borrow_of(self), Borrow::kShared);
    if (!borrow.ok()) return nullptr;
    std::string id;
    if (!to_text(py_id, "client_id", &id)) return nullptr;
    return body(manager_of(self), id);
  });
}

// The shape shared by set_score, reward and penalize: a client id and one float, applied under
// the exclusive borrow; a rejected value raises the store's error and changes nothing.
template <class F>
PyObject* with_client_value(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                            const char* value_name, F&& op) {
  return guarded([&]() -> PyObject* {
    const char* kw[] = {"client_id", value_name, nullptr};
    PyObject *py_id, *py_value;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kw), &py_id,
                                     &py_value)) {
      return nullptr;
    }
    Borrow borrow(borrow_of(self), Borrow::kExclusive);
    if (!borrow.ok()) return nullptr;
    std::string id;
    float value;
    if (!to_text(py_id, "client_id", &id) || !to_f32(py_value, value_name, &value)) {
      return nullptr;
    }
    Status status = op(manager_of(self).store, id, value);
    if (!status.ok()) return raise_fenro_error(status.error());
    Py_RETURN_NONE;
  });
}

PyObject* get_score(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_client(self, args, kwargs, "O:get_score", [](Manager& m, const std::string& id) {
    return from_f32(m.store.get_score(id));
  });
}

PyObject* is_banned(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_client(self, args, kwargs, "O:is_banned", [](Manager& m, const std::string& id) {
    return PyBool_FromLong(m.store.is_banned(id, m.ban_threshold));
  });
}

PyObject* influence_weight(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_client(self, args, kwargs, "O:influence_weight",
                     [](Manager& m, const std::string& id) {
                       return from_f32(m.store.influence_weight(id));
                     });
}

PyObject* set_score(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_client_value(self, args, kwargs, "OO:set_score", "score",
                           [](ReputationStore& s, const std::string& id, float v) {
                             return s.set_score(id, v);
                           });
}

PyObject* reward(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_client_value(self, args, kwargs, "OO:reward", "amount",
                           [](ReputationStore& s, const std::string& id, float v) {
                             return s.reward(id, v);
                           });
}

PyObject* penalize(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_client_value(self, args, kwargs, "OO:penalize", "amount",
                           [](ReputationStore& s, const std::string& id, float v) {
                             return s.penalize(id, v);
                           });
}

PyObject* active_clients(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(borrow_of(self), Borrow::kShared);
    if (!borrow.ok()) return nullptr;
    auto active = manager_of(self).store.active_clients(manager_of(self).ban_threshold);
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(active.size()));
    if (list == nullptr) return nullptr;
    for (size_t i = 0; i < active.size(); ++i) {
      PyObject* id = from_text(active[i].first);
      PyObject* score = id == nullptr ? nullptr : from_f32(active[i].second);
      PyObject* pair = score == nullptr ? nullptr : PyTuple_Pack(2, id, score);
      Py_XDECREF(id);
      Py_XDECREF(score);
      if (pair == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SetItem(list, static_cast<Py_ssize_t>(i), pair);  // steals the pair
    }
    return list;
  });
}

PyObject* all_scores(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(borrow_of(self), Borrow::kShared);
    if (!borrow.ok()) return nullptr;
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    for (const auto& [client, value] : manager_of(self).store.all_scores()) {
      PyObject* id = from_text(client);
      PyObject* score = id == nullptr ? nullptr : from_f32(value);
      bool ok = score != nullptr && PyDict_SetItem(dict, id, score) == 0;
      Py_XDECREF(id);
      Py_XDECREF(score);
      if (!ok) {
        Py_DECREF(dict);
        return nullptr;
      }
    }
    return dict;
  });
}

PyObject* reset(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(borrow_of(self), Borrow::kExclusive);
    if (!borrow.ok()) return nullptr;
    manager_of(self).store.reset();
    Py_RETURN_NONE;
  });
}

PyObject* decay(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"rate", nullptr};
    PyObject* py_rate = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:decay", const_cast<char**>(kw),
                                     &py_rate)) {
      return nullptr;
    }
    Borrow borrow(borrow_of(self), Borrow::kExclusive);
    if (!borrow.ok()) return nullptr;
    float rate = pipeline::kDefaultDecayRate;
    if (py_rate != nullptr && !to_f32(py_rate, "rate", &rate)) return nullptr;
    Status status = manager_of(self).store.decay_toward_default(rate);
    if (!status.ok()) return raise_fenro_error(status.error());
    Py_RETURN_NONE;
  });
}

PyObject* to_json(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(borrow_of(self), Borrow::kShared);
    if (!borrow.ok()) return nullptr;
    return from_text(manager_of(self).store.to_json());
  });
}

// The threshold is checked before the text is looked at.
PyObject* from_json(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"json_str", "ban_threshold", nullptr};
    PyObject *py_text, *py_threshold = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:from_json", const_cast<char**>(kw),
                                     &py_text, &py_threshold)) {
      return nullptr;
    }
    std::string text;
    float threshold = pipeline::kManagerBanThreshold;
    if (!to_text(py_text, "json_str", &text) ||
        (py_threshold != nullptr && !to_f32(py_threshold, "ban_threshold", &threshold))) {
      return nullptr;
    }
    if (!check_threshold(threshold)) return nullptr;
    auto loaded = ReputationStore::from_json(text);
    if (auto* message = std::get_if<std::string>(&loaded)) return raise_value_error(*message);
    return new_instance(g_type, Manager{std::get<ReputationStore>(std::move(loaded)), threshold});
  });
}

PyMethodDef g_methods[] = {
    {"get_score", as_method(get_score), METH_VARARGS | METH_KEYWORDS,
     "get_score($self, client_id)\n--\n\n"
     "Get the trust score for a client (default 0.5 for unknown)."},
    {"set_score", as_method(set_score), METH_VARARGS | METH_KEYWORDS,
     "set_score($self, client_id, score)\n--\n\n"
     "Set the trust score for a client.\n\n"
     "Raises:\n"
     "    ValueError: If score is not finite and within [0.0, 1.0].\n"
     "        Out-of-range scores are rejected rather than clamped, and\n"
     "        the existing score is left unchanged."},
    {"reward", as_method(reward), METH_VARARGS | METH_KEYWORDS,
     "reward($self, client_id, amount)\n--\n\n"
     "Increase a client's reputation by the given amount.\n\n"
     "Raises:\n"
     "    ValueError: If amount is not finite and non-negative. Large\n"
     "        amounts are accepted and saturate at 1.0."},
    {"penalize", as_method(penalize), METH_VARARGS | METH_KEYWORDS,
     "penalize($self, client_id, amount)\n--\n\n"
     "Decrease a client's reputation by the given amount.\n\n"
     "Raises:\n"
     "    ValueError: If amount is not finite and non-negative. Large\n"
     "        amounts are accepted and saturate at 0.0."},
    {"is_banned", as_method(is_banned), METH_VARARGS | METH_KEYWORDS,
     "is_banned($self, client_id)\n--\n\n"
     "Check if a client is banned (score below ban threshold)."},
    {"active_clients", active_clients, METH_NOARGS,
     "active_clients($self)\n--\n\nGet all non-banned clients and their scores."},
    {"all_scores", all_scores, METH_NOARGS,
     "all_scores($self)\n--\n\nGet all client scores as a dictionary."},
    {"reset", reset, METH_NOARGS, "reset($self)\n--\n\nReset all reputation scores."},
    {"decay", as_method(decay), METH_VARARGS | METH_KEYWORDS,
     "decay($self, rate=0.02)\n--\n\n"
     "Decay all reputation scores toward 0.5 (default).\n\n"
     "Args:\n"
     "    rate: Decay rate in [0.0, 1.0]. Typical: 0.01-0.05.\n\n"
     "Raises:\n"
     "    ValueError: If rate is not finite and within [0.0, 1.0].\n"
     "        No score changes when the rate is rejected."},
    {"influence_weight", as_method(influence_weight), METH_VARARGS | METH_KEYWORDS,
     "influence_weight($self, client_id)\n--\n\n"
     "Compute the influence weight for a client: min(rep^3, 0.8)."},
    {"to_json", to_json, METH_NOARGS,
     "to_json($self)\n--\n\n"
     "Serialize reputation state to JSON for persistence between restarts."},
    {"from_json", as_method(from_json), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_json(json_str, ban_threshold=0.2)\n--\n\n"
     "Restore reputation state from a JSON string."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(manager_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Manager>)},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>(
                    "ReputationManager(ban_threshold=0.2)\n--\n\n"
                    "Standalone reputation manager with string-based client IDs.\n\n"
                    "Provides persistent trust scores for federated learning clients.\n"
                    "Scores range from 0.0 (fully distrusted) to 1.0 (fully trusted),\n"
                    "with new clients starting at 0.5. Clients below the ban threshold\n"
                    "are excluded from aggregation.")},
    {0, nullptr},
};

PyType_Spec g_spec = instance_spec<Manager>("builtins.ReputationManager", g_slots);

}  // namespace

bool register_reputation_manager(PyObject* module) {
  g_type = add_type(module, &g_spec);
  return g_type != nullptr;
}

}  // namespace fenro::python
