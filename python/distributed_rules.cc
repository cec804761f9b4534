// fenro._distributed._rule: the coordinate-wise stateless rules of fenro.robust (fedavg,
// trimmed_mean, median, meamed) over updates cut into coordinate ranges held by workers.
// Arguments are parsed and converted exactly as fenro._robust's functions do (the same formats,
// converters and order), so they accept and refuse the same values with the same messages; the
// rule's checks and its order of errors are pipeline::ShardedRoundData::rule's, which keeps the
// single function's. Inputs that fail before any value is needed for the result (no updates,
// shapes that differ, updates without coordinates) run the function itself on the coordinator.
#include <algorithm>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "args.h"
#include "distributed_passes.h"
#include "distributed_register.h"
#include "errors.h"
#include "fenro/aggregators/fedavg.h"
#include "fenro/aggregators/krum.h"
#include "fenro/aggregators/meamed.h"
#include "fenro/aggregators/median.h"
#include "fenro/aggregators/trimmed_mean.h"
#include "fenro/pipeline/sharded_round_data.h"
#include "heap_type.h"
#include "rule_call.h"
#include "update_list.h"

namespace fenro::python {
namespace {

using pipeline::RangeKernel;
using pipeline::RangeMethod;

// The rule on the workers, or on the coordinator when the inputs need no workers. Returns the
// result array (coordinator) or its shape (rows, cols), the workers holding its slices.
PyObject* run_rule(PyObject* driver, unsigned long long shards, std::span<const UpdateView> u,
                   RangeKernel kernel) {
  bool one_shape = !u.empty() && u[0].size() > 0;
  for (size_t k = 1; one_shape && k < u.size(); ++k) one_shape = u[k].same_shape(u[0]);
  if (!one_shape) {
    std::optional<std::span<const float>> w;
    if (kernel.weights) w = std::span<const float>(*kernel.weights);
    switch (kernel.method) {
      case RangeMethod::kFedAvg:
        return from_result(aggregators::fedavg(u, w));
      case RangeMethod::kTrimmedMean:
        return from_result(aggregators::trimmed_mean(u, kernel.trim_fraction));
      case RangeMethod::kMeamed:
        return from_result(aggregators::meamed(u, kernel.f));
      case RangeMethod::kMedian:
      case RangeMethod::kAroundMedian:  // no function of fenro.robust
        break;
    }
    return from_result(aggregators::median(u));
  }
  const std::vector<size_t> cuts = pipeline::even_cuts(u[0].size(), static_cast<size_t>(shards));
  if (!place_ranges(driver, u, cuts)) return nullptr;
  kernel.updates.resize(u.size());
  for (size_t k = 0; k < u.size(); ++k) kernel.updates[k] = k;
  std::vector<pipeline::UpdateShape> shapes(u.size(), {u[0].rows, u[0].cols});
  DriverPasses passes(driver, cuts.size() - 1);
  pipeline::ShardedRoundData data(std::move(shapes), cuts, passes);
  const Status status = data.rule(std::move(kernel));
  if (!status.ok()) return raise_round_error(passes, status.error());
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(u[0].rows),
                       static_cast<unsigned long long>(u[0].cols));
}

// _rule(name, driver, shards, args, kwargs): fenro.robust.<name>(*args, **kwargs) over the
// driver's workers.
PyObject* rule(PyObject*, PyObject* call) {
  return guarded([&]() -> PyObject* {
    const char* name = nullptr;
    PyObject *driver, *args, *kwargs;
    unsigned long long shards = 1;
    if (!PyArg_ParseTuple(call, "sOKOO:_rule", &name, &driver, &shards, &args, &kwargs)) {
      return nullptr;
    }
    if (kwargs == Py_None) kwargs = nullptr;
    const std::string_view which(name);
    RangeKernel kernel;
    auto run = [&](std::span<const UpdateView> u) { return run_rule(driver, shards, u, kernel); };
    if (which == "fedavg") {
      kernel.method = RangeMethod::kFedAvg;
      return call_with_weights(args, kwargs, "O|O:fedavg",
                               [&](std::span<const UpdateView> u,
                                   std::optional<std::vector<float>>& weights) {
                                 kernel.weights = std::move(weights);
                                 return run(u);
                               });
    }
    if (which == "trimmed_mean") {
      kernel.method = RangeMethod::kTrimmedMean;
      return call_with_trim(args, kwargs, "trimmed_mean", "O|$O:trimmed_mean",
                            [&](std::span<const UpdateView> u, float trim) {
                              kernel.trim_fraction = trim;
                              return run(u);
                            });
    }
    if (which == "median") {
      kernel.method = RangeMethod::kMedian;
      return call_with_updates_only(args, kwargs, "O:median", run);
    }
    if (which == "meamed") {
      kernel.method = RangeMethod::kMeamed;
      return call_with_f(args, kwargs, "meamed", "O|$O:meamed", "meamed", " with 2f < n",
                         [&](std::span<const UpdateView> u, uint64_t f) {
                           kernel.f = f;
                           return run(u);
                         });
    }
    PyErr_SetString(PyExc_ValueError, "no distributed form of this rule");
    return nullptr;
  });
}

// The cuts of `size` coordinates into ranges: 0 = cuts[0] <= ... <= cuts[w] = size, w >= 1,
// size > 0.
bool cuts_of(PyObject* seq, uint64_t size, std::vector<size_t>* cuts) {
  if (!indices_of(seq, cuts)) return false;
  if (cuts->size() < 2 || cuts->front() != 0 || cuts->back() != size || size == 0 ||
      !std::is_sorted(cuts->begin(), cuts->end())) {
    PyErr_SetString(PyExc_ValueError, "the cuts do not cover the coordinates in order");
    return false;
  }
  return true;
}

// _rule_placed(name, driver, positions, rows, cols, cuts, weights, trim, f): the rule on the
// buffers the driver's workers hold at `positions` (updates of rows x cols cut at `cuts`), its
// parameters converted as fenro._robust converts them. Returns (rows, cols), the workers
// holding the result's slices.
PyObject* rule_placed(PyObject*, PyObject* call) {
  return guarded([&]() -> PyObject* {
    const char* name = nullptr;
    PyObject *driver, *py_positions, *py_cuts, *py_weights, *py_trim, *py_f;
    unsigned long long rows = 0, cols = 0;
    if (!PyArg_ParseTuple(call, "sOOKKOOOO:_rule_placed", &name, &driver, &py_positions, &rows,
                          &cols, &py_cuts, &py_weights, &py_trim, &py_f)) {
      return nullptr;
    }
    const std::string_view which(name);
    RangeKernel kernel;
    if (which == "fedavg") {
      kernel.method = RangeMethod::kFedAvg;
    } else if (which == "trimmed_mean") {
      kernel.method = RangeMethod::kTrimmedMean;
    } else if (which == "median") {
      kernel.method = RangeMethod::kMedian;
    } else if (which == "meamed") {
      kernel.method = RangeMethod::kMeamed;
    } else {
      PyErr_SetString(PyExc_ValueError, "no distributed form of this rule");
      return nullptr;
    }
    if (!to_f32_list(py_weights, "weights", &kernel.weights, true) ||
        (py_trim != Py_None && !to_f32(py_trim, "trim", &kernel.trim_fraction, true)) ||
        (py_f != Py_None && !to_count(py_f, "f", {"meamed", 0, " with 2f < n"}, &kernel.f))) {
      return nullptr;
    }
    std::vector<size_t> cuts;
    if (!indices_of(py_positions, &kernel.updates) || !cuts_of(py_cuts, rows * cols, &cuts)) {
      return nullptr;
    }
    size_t count = 0;
    for (size_t at : kernel.updates) count = std::max(count, at + 1);
    Matrix::ensure_allocatable(rows, cols);
    std::vector<pipeline::UpdateShape> shapes(count, {rows, cols});
    DriverPasses passes(driver, cuts.size() - 1);
    pipeline::ShardedRoundData data(std::move(shapes), cuts, passes);
    const Status status = data.rule(std::move(kernel));
    if (!status.ok()) return raise_round_error(passes, status.error());
    return Py_BuildValue("(KK)", rows, cols);
  });
}

// The doubles of a sequence, converted as float() converts them.
bool doubles_of(PyObject* seq, std::vector<double>* out) {
  const Py_ssize_t n = PySequence_Size(seq);
  if (n < 0) return false;
  out->resize(static_cast<size_t>(n));
  for (Py_ssize_t t = 0; t < n; ++t) {
    const Ref item{PySequence_GetItem(seq, t)};
    if (item.p == nullptr || !as_double(item.p, &(*out)[static_cast<size_t>(t)])) return false;
  }
  return true;
}

// _whole_rule(name, driver, count, rows, cols, cuts, params, listed=None): a rule that needs every
// coordinate of an update at once on the `count` updates of rows x cols the driver's workers
// hold, cut at `cuts` (or on the `listed` positions among them, in that order), its parameters
// checked by the caller; indices in the answers are positions in that list:
//   krum: (f, m, multi) -> Krum's one selected index, or Multi-Krum's m, best score first
//     (the slices: a copy of the one, the mean of the m in that order);
//   bulyan: (f,) -> the selected indices in selection order;
//   nnm: (keep,) -> the keep nearest of every update, ascending, row after row (no result
//     slices: the caller has the workers mix);
//   geometric_median: (positions, weights, nu, tol, max_iter), the updates taking part (placed
//     positions, whatever the list) and their weights -> (iterations, objective);
//   centered_clipping: (tau, iterations, from_median), the center being the workers' slices
//     when not from the median -> (distances, factors).
// The workers keep the result's slices. Returns None when a value of the updates is NaN or
// infinite (the caller has the function itself raise its error); a lost worker raises the
// driver's exception.
PyObject* whole_rule(PyObject*, PyObject* call) {
  return guarded([&]() -> PyObject* {
    const char* name = nullptr;
    PyObject *driver, *py_cuts, *params, *py_list = Py_None;
    unsigned long long count = 0, rows = 0, cols = 0;
    if (!PyArg_ParseTuple(call, "sOKKKOO!|O:_whole_rule", &name, &driver, &count, &rows, &cols,
                          &py_cuts, &PyTuple_Type, &params, &py_list)) {
      return nullptr;
    }
    std::vector<size_t> cuts;
    if (!cuts_of(py_cuts, rows * cols, &cuts)) return nullptr;
    if (count == 0) {
      PyErr_SetString(PyExc_ValueError, "no updates placed");
      return nullptr;
    }
    // The updates the rule runs on: every placed one, or those listed.
    std::vector<size_t> all;
    if (py_list == Py_None) {
      for (size_t k = 0; k < count; ++k) all.push_back(k);
    } else if (!indices_of(py_list, &all)) {
      return nullptr;
    }
    if (all.empty() || *std::max_element(all.begin(), all.end()) >= count) {
      PyErr_SetString(PyExc_ValueError, "the listed updates are not all placed");
      return nullptr;
    }
    const size_t n = all.size();
    DriverPasses passes(driver, cuts.size() - 1);
    pipeline::ShardedRoundData data(
        std::vector<pipeline::UpdateShape>(count, {rows, cols}), cuts, passes);
    // A value error gives None; a failure of the workers raises.
    auto failed = [&](const FenroError& error) -> PyObject* {
      if (error.get_if<error::SourceFailed>() != nullptr) return raise_round_error(passes, error);
      Py_RETURN_NONE;
    };
    const std::string_view which(name);
    if (which == "bulyan") {
      unsigned long long f = 0;
      if (!PyArg_ParseTuple(params, "K:bulyan", &f)) return nullptr;
      auto selected = data.bulyan(all, f);
      if (!selected.ok()) return failed(selected.error());
      return from_indices(*selected);
    }
    if (which == "krum") {
      unsigned long long f = 0, m = 0;
      int multi = 0;
      if (!PyArg_ParseTuple(params, "KKp:krum", &f, &m, &multi)) return nullptr;
      if (n < 2 * f + 3 || (multi && (m < 1 || m > n - 2 * f - 2))) {
        PyErr_SetString(PyExc_ValueError, "krum's f and m do not fit n");
        return nullptr;
      }
      auto scores = data.krum_scores(all, n - f - 2);
      if (!scores.ok()) return failed(scores.error());
      const std::vector<size_t> selected = multi
                                               ? aggregators::multi_krum_pick(*scores, m)
                                               : std::vector<size_t>{aggregators::krum_pick(*scores)};
      std::vector<size_t> placed;
      for (size_t t : selected) placed.push_back(all[t]);
      const Status kept = multi ? data.mean_of(placed) : data.copy_of(placed[0]);
      if (!kept.ok()) return failed(kept.error());
      return from_indices(selected);
    }
    if (which == "nnm") {
      unsigned long long keep = 0;
      if (!PyArg_ParseTuple(params, "K:nnm", &keep)) return nullptr;
      if (keep < 1 || keep > n) {
        PyErr_SetString(PyExc_ValueError, "nnm keeps 1 to n updates");
        return nullptr;
      }
      auto nearest = data.nearest(all, keep);
      if (!nearest.ok()) return failed(nearest.error());
      return from_indices(std::vector<size_t>(nearest->begin(), nearest->end()));
    }
    if (which == "geometric_median") {
      PyObject *py_positions, *py_weights;
      double nu = 0.0, tol = 0.0;
      unsigned long long max_iter = 0;
      if (!PyArg_ParseTuple(params, "OOddK:geometric_median", &py_positions, &py_weights, &nu,
                            &tol, &max_iter)) {
        return nullptr;
      }
      std::vector<size_t> taking;
      std::vector<double> weights;
      if (!indices_of(py_positions, &taking) || !doubles_of(py_weights, &weights)) {
        return nullptr;
      }
      if (taking.size() != weights.size() || taking.empty()) {
        PyErr_SetString(PyExc_ValueError, "one weight per update taking part is needed");
        return nullptr;
      }
      auto run = data.geometric_median(taking, weights, nu, tol, max_iter);
      if (!run.ok()) return failed(run.error());
      return Py_BuildValue("(Kd)", static_cast<unsigned long long>(run->iterations),
                           run->objective);
    }
    if (which == "centered_clipping") {
      double tau = 0.0;
      unsigned long long iterations = 0;
      int from_median = 0;
      if (!PyArg_ParseTuple(params, "dKp:centered_clipping", &tau, &iterations, &from_median)) {
        return nullptr;
      }
      auto steps = data.centered_clipping(all, tau, iterations, from_median != 0);
      if (!steps.ok()) return failed(steps.error());
      return Py_BuildValue("(NN)", from_doubles(steps->distances), from_doubles(steps->factors));
    }
    PyErr_SetString(PyExc_ValueError, "no distributed form of this rule");
    return nullptr;
  });
}

PyMethodDef g_functions[] = {
    {"_rule", rule, METH_VARARGS,
     "_rule(name, driver, shards, args, kwargs)\n--\n\n"
     "fenro.robust.<name>(*args, **kwargs) over the driver's workers (fenro.distributed)."},
    {"_rule_placed", rule_placed, METH_VARARGS,
     "_rule_placed(name, driver, positions, rows, cols, cuts, weights, trim, f)\n--\n\n"
     "A coordinate-wise rule on buffers the driver's workers hold already."},
    {"_whole_rule", whole_rule, METH_VARARGS,
     "_whole_rule(name, driver, count, rows, cols, cuts, params, listed=None)\n--\n\n"
     "Krum, Multi-Krum, Bulyan, nnm's ranking, the geometric median or centered clipping on "
     "buffers the driver's workers hold."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_distributed_rules(PyObject* module) { return add_functions(module, g_functions); }

}  // namespace fenro::python
