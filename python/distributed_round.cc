// fenro._distributed._run_round: the round of a fenro._core.ByzantineAggregator over updates cut
// into coordinate ranges held by workers. The round itself is the library's
// (ByzantineAggregator::run_round: every check and its order, the filters, Krum's selection,
// the reputation rule); pipeline::ShardedRoundData joins the workers' answers; the workers are
// reached through a Python driver object (fenro/distributed/_driver.py) that issues the Ray
// calls. So the result, the first error and its message, and the reputation store afterwards
// are those of ByzantineAggregator.aggregate on the same input, bit for bit.
//
// A failure of the driver (a lost or silent worker) ends the round with the driver's exception
// before the store is written: the store is written only in the round's last step, after every
// worker has answered.
#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "args.h"
#include "audit_tuple.h"
#include "borrow.h"
#include "core_types.h"
#include "distributed_passes.h"
#include "distributed_register.h"
#include "errors.h"
#include "fenro/pipeline/round_data.h"
#include "fenro/pipeline/sharded_round_data.h"
#include "heap_type.h"
#include "round_args.h"
#include "update_list.h"

namespace fenro::python {
namespace {

using pipeline::UpdateShape;

// The layout of a round whose shards are already placed: driver.layout() gives
// (shapes, cuts), shapes a sequence of (rows, cols) per update.
bool layout_of(PyObject* driver, std::vector<UpdateShape>* shapes, std::vector<size_t>* cuts) {
  const Ref answer{PyObject_CallMethod(driver, "layout", nullptr)};
  if (answer.p == nullptr || !has_length(answer.p, 2)) return false;
  const Ref py_shapes{item_of(answer.p, 0)}, py_cuts{item_of(answer.p, 1)};
  if (py_shapes.p == nullptr || py_cuts.p == nullptr) return false;
  const Py_ssize_t n = PySequence_Size(py_shapes.p), w = PySequence_Size(py_cuts.p);
  if (n < 0 || w < 0) return false;
  for (Py_ssize_t k = 0; k < n; ++k) {
    const Ref pair{PySequence_GetItem(py_shapes.p, k)};
    if (pair.p == nullptr || !has_length(pair.p, 2)) return false;
    const Ref r{item_of(pair.p, 0)}, c{item_of(pair.p, 1)};
    uint64_t rows = 0, cols = 0;
    if (r.p == nullptr || c.p == nullptr || !as_u64(r.p, &rows) || !as_u64(c.p, &cols)) {
      return false;
    }
    shapes->push_back({rows, cols});
  }
  for (Py_ssize_t s = 0; s < w; ++s) {
    const Ref cut{PySequence_GetItem(py_cuts.p, s)};
    uint64_t at = 0;
    if (cut.p == nullptr || !as_u64(cut.p, &at)) return false;
    cuts->push_back(at);
  }
  const size_t size = shapes->empty() ? 0 : (*shapes)[0].rows * (*shapes)[0].cols;
  if (!shapes->empty() && size > 0 &&
      (cuts->size() < 2 || cuts->front() != 0 || cuts->back() != size ||
       !std::is_sorted(cuts->begin(), cuts->end()))) {
    PyErr_SetString(PyExc_ValueError, "the cuts do not cover update 0's coordinates in order");
    return false;
  }
  return true;
}

// _run_round(aggregator, driver, updates, client_ids, weights, shards, with_audit=False): one
// round of aggregator.aggregate(updates, client_ids, weights) over the driver's workers. With
// `updates` None, the shards are already placed and driver.layout() describes them. Returns the
// aggregate when the round ran on the coordinator (no updates, or updates without
// coordinates), or the aggregate's shape (rows, cols) when it ran on the workers (each then
// holds its slice of the aggregate). With `with_audit`, returns (that, audit, None) as
// fenro._robust.aggregate_with_audit does, or (None, audit, message) when every update was
// turned away.
PyObject* run_round(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *py_aggregator, *driver, *py_updates, *py_ids, *py_weights;
    unsigned long long shards = 1;
    int with_audit = 0;
    if (!PyArg_ParseTuple(args, "OOOOOK|p:_run_round", &py_aggregator, &driver, &py_updates,
                          &py_ids, &py_weights, &shards, &with_audit)) {
      return nullptr;
    }
    audit::RoundAudit round_audit;
    audit::RoundAudit* audit = with_audit ? &round_audit : nullptr;
    // The answer, with the audit when asked for; a round that turned every update away is
    // an answer then, with its message.
    auto answer = [&](PyObject* result) -> PyObject* {
      if (audit == nullptr || result == nullptr) return result;
      return Py_BuildValue("(NNO)", result, audit_tuple(round_audit), Py_None);
    };
    auto refused = [&](const FenroError& error) -> PyObject* {
      if (audit == nullptr || !error.is<error::AllUpdatesRejected>()) return nullptr;
      return Py_BuildValue("(ONN)", Py_None, audit_tuple(round_audit), from_text(error.message()));
    };
    AggregatorInstance* self = core_aggregator(py_aggregator, "fenro._distributed");
    if (self == nullptr) return nullptr;
    // Held for the whole round: the aggregator is not usable from anywhere else meanwhile.
    Borrow borrow(self->borrow, Borrow::kExclusive);
    if (!borrow.ok()) return nullptr;

    RoundArgs round;
    std::vector<UpdateShape> shapes;
    std::vector<size_t> cuts;
    std::optional<std::vector<std::string>> ids;
    std::vector<std::string_view> id_views;
    std::optional<std::vector<float>> weights;
    std::optional<std::span<const std::string_view>> round_ids;
    std::optional<std::span<const float>> round_weights;
    std::span<const UpdateView> views;
    std::vector<UpdateView> empty_views;
    if (py_updates != Py_None) {
      if (!round.convert(py_updates, py_ids, py_weights)) return nullptr;
      views = round.updates();
      round_ids = round.client_ids();
      round_weights = round.weights();
      for (const UpdateView& u : views) shapes.push_back({u.rows, u.cols});
      if (!views.empty() && views[0].size() > 0) {
        cuts = pipeline::even_cuts(views[0].size(), static_cast<size_t>(shards));
      }
    } else {
      if (!to_text_list(py_ids, "client_ids", &ids) ||
          !to_f32_list(py_weights, "weights", &weights) || !layout_of(driver, &shapes, &cuts)) {
        return nullptr;
      }
      if (ids) {
        id_views.assign(ids->begin(), ids->end());
        round_ids = std::span<const std::string_view>(id_views);
      }
      if (weights) round_weights = std::span<const float>(*weights);
      if (shapes.empty() || shapes[0].rows * shapes[0].cols == 0) {
        for (const UpdateShape& s : shapes) {
          empty_views.push_back(UpdateView::dense(nullptr, s.rows, s.cols));
        }
        views = empty_views;
        cuts.clear();
      }
    }
    // No coordinates to share out: the round runs here, on the same code as aggregate().
    if (cuts.empty()) {
      auto result = self->value->aggregate_weighted(views, round_ids, round_weights, audit);
      if (!result.ok()) {
        if (PyObject* out = refused(result.error())) return out;
        return raise_fenro_error(result.error());
      }
      return answer(from_matrix(std::move(result).value()));
    }
    if (py_updates != Py_None && !place_ranges(driver, views, cuts)) return nullptr;

    DriverPasses passes(driver, cuts.size() - 1);
    pipeline::ShardedRoundData data(std::move(shapes), cuts, passes);
    const Status status = self->value->run_round(data, round_ids, round_weights, audit);
    if (!status.ok()) {
      if (PyObject* out = refused(status.error())) return out;
      return raise_round_error(passes, status.error());
    }
    const UpdateShape shape = data.shape(0);
    return answer(Py_BuildValue("(KK)", static_cast<unsigned long long>(shape.rows),
                                static_cast<unsigned long long>(shape.cols)));
  });
}

PyMethodDef g_functions[] = {
    {"_run_round", run_round, METH_VARARGS,
     "_run_round(aggregator, driver, updates, client_ids, weights, shards, with_audit=False)"
     "\n--\n\n"
     "One round of aggregator.aggregate over the driver's workers (fenro.distributed)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_distributed_round(PyObject* module) { return add_functions(module, g_functions); }

}  // namespace fenro::python
