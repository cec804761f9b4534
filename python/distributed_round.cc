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
#include "borrow.h"
#include "core_types.h"
#include "distributed_register.h"
#include "errors.h"
#include "fenro/pipeline/round_data.h"
#include "fenro/pipeline/sharded_round_data.h"
#include "heap_type.h"
#include "round_args.h"
#include "update_list.h"

namespace fenro::python {
namespace {

using pipeline::RangeNonFinite;
using pipeline::UpdateShape;
namespace bfp = aggregators::detail;

constexpr const char* kAggregatorKind = "ByzantineAggregator";

// fenro._core.ByzantineAggregator, looked up on first use and kept for the process; its
// instance size is checked against the layout this module was built with (core_types.h).
PyTypeObject* core_aggregator_type() {
  static PyTypeObject* type = nullptr;
  if (type != nullptr) return type;
  const Ref core{PyImport_ImportModule("fenro._core")};
  if (core.p == nullptr) return nullptr;
  PyObject* found = PyObject_GetAttrString(core.p, kAggregatorKind);
  if (found == nullptr) return nullptr;
  const Ref size{PyObject_GetAttrString(found, "__basicsize__")};
  if (size.p == nullptr || !PyType_Check(found) ||
      PyLong_AsSsize_t(size.p) != static_cast<Py_ssize_t>(sizeof(AggregatorInstance))) {
    Py_DECREF(found);
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_ImportError,
                      "fenro._core and fenro._distributed come from different builds");
    }
    return nullptr;
  }
  type = reinterpret_cast<PyTypeObject*>(found);  // one reference, kept for the process
  return type;
}

// Item `i` of a sequence, a new reference or nullptr with an exception set.
PyObject* item_of(PyObject* seq, size_t i) {
  return PySequence_GetItem(seq, static_cast<Py_ssize_t>(i));
}

// The length of a sequence, which must be `n`; false with an exception set otherwise.
bool has_length(PyObject* seq, size_t n) {
  const Py_ssize_t size = PySequence_Size(seq);
  if (size < 0) return false;
  if (static_cast<size_t>(size) != n) {
    PyErr_SetString(PyExc_RuntimeError, "a worker's answer has the wrong length");
    return false;
  }
  return true;
}

bool as_double(PyObject* obj, double* out) {
  *out = PyFloat_AsDouble(obj);
  return !(*out == -1.0 && PyErr_Occurred());
}

bool as_u64(PyObject* obj, uint64_t* out) {
  *out = PyLong_AsUnsignedLongLong(obj);
  return !(*out == static_cast<uint64_t>(-1) && PyErr_Occurred());
}

// The workers, through the driver's methods (see fenro/distributed/_driver.py). Any exception
// the driver raises is kept, and the pass fails with SourceFailed; the entry point raises the
// kept exception once the round has returned.
class DriverPasses final : public pipeline::RangePasses {
 public:
  DriverPasses(PyObject* driver, size_t ranges) : driver_(driver), ranges_(ranges) {}
  ~DriverPasses() override {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
  }

  // Sets the kept exception again; false when there is none.
  bool restore() {
    if (type_ == nullptr) return false;
    PyErr_Restore(type_, value_, traceback_);
    type_ = value_ = traceback_ = nullptr;
    return true;
  }

  Result<std::vector<std::vector<update::RangeScan>>> scans(
      std::span<const size_t> updates) override {
    const Ref answer{call("scans", "(N)", from_indices(updates))};
    if (answer.p == nullptr || !has_length(answer.p, ranges_)) return failed();
    std::vector<std::vector<update::RangeScan>> out(ranges_);
    for (size_t s = 0; s < ranges_; ++s) {
      const Ref part{item_of(answer.p, s)};
      if (part.p == nullptr || !has_length(part.p, updates.size())) return failed();
      for (size_t t = 0; t < updates.size(); ++t) {
        const Ref item{item_of(part.p, t)};
        if (item.p == nullptr || !has_length(item.p, 3)) return failed();
        const Ref at{item_of(item.p, 0)}, value{item_of(item.p, 1)}, max_abs{item_of(item.p, 2)};
        if (at.p == nullptr || value.p == nullptr || max_abs.p == nullptr) return failed();
        const long long coordinate = PyLong_AsLongLong(at.p);
        double v = 0.0, m = 0.0;
        if ((coordinate == -1 && PyErr_Occurred()) || !as_double(value.p, &v) ||
            !as_double(max_abs.p, &m)) {
          return failed();
        }
        update::RangeScan scan;
        if (coordinate >= 0) scan.first_non_finite = static_cast<uint64_t>(coordinate);
        scan.value = static_cast<float>(v);
        scan.max_abs = static_cast<float>(m);
        out[s].push_back(scan);
      }
    }
    return out;
  }

  Result<std::vector<std::vector<double>>> sums(std::span<const size_t> updates,
                                                bool distances) override {
    const Ref answer{call("sums", "(NO)", from_indices(updates), distances ? Py_True : Py_False)};
    if (answer.p == nullptr || !has_length(answer.p, ranges_)) return failed();
    std::vector<std::vector<double>> out(ranges_);
    for (size_t s = 0; s < ranges_; ++s) {
      const Ref part{item_of(answer.p, s)};
      if (part.p == nullptr || !doubles(part.p, updates.size(), &out[s])) return failed();
    }
    return out;
  }

  Result<std::vector<double>> chained_sums(std::span<const size_t> updates,
                                           bool distances) override {
    const Ref answer{
        call("chained_sums", "(NO)", from_indices(updates), distances ? Py_True : Py_False)};
    std::vector<double> out;
    if (answer.p == nullptr || !doubles(answer.p, updates.size(), &out)) return failed();
    return out;
  }

  Result<std::vector<std::optional<RangeNonFinite>>> kernel(
      const pipeline::RangeKernel& k) override {
    PyObject* weights = Py_None;
    Ref owned{nullptr};
    if (k.weights) {
      owned.p = PyList_New(static_cast<Py_ssize_t>(k.weights->size()));
      if (owned.p == nullptr) return failed();
      for (size_t t = 0; t < k.weights->size(); ++t) {
        PyObject* w = from_f32((*k.weights)[t]);
        if (w == nullptr) return failed();
        PyList_SetItem(owned.p, static_cast<Py_ssize_t>(t), w);
      }
      weights = owned.p;
    }
    const Ref answer{call("kernel", "(iNOdO)", static_cast<int>(k.method),
                          from_indices(k.updates), weights, static_cast<double>(k.trim_fraction),
                          k.values_owed ? Py_True : Py_False)};
    if (answer.p == nullptr || !has_length(answer.p, ranges_)) return failed();
    std::vector<std::optional<RangeNonFinite>> out(ranges_);
    for (size_t s = 0; s < ranges_; ++s) {
      const Ref item{item_of(answer.p, s)};
      if (item.p == nullptr) return failed();
      if (item.p == Py_None) continue;
      if (!has_length(item.p, 3)) return failed();
      const Ref u{item_of(item.p, 0)}, c{item_of(item.p, 1)}, v{item_of(item.p, 2)};
      RangeNonFinite bad;
      double value = 0.0;
      if (u.p == nullptr || c.p == nullptr || v.p == nullptr || !as_u64(u.p, &bad.update) ||
          !as_u64(c.p, &bad.coordinate) || !as_double(v.p, &value)) {
        return failed();
      }
      bad.value = static_cast<float>(value);
      out[s] = bad;
    }
    return out;
  }

  Result<std::vector<std::vector<int64_t>>> gram(
      std::span<const size_t> updates, std::span<const bfp::BlockScale> scales) override {
    const size_t m = updates.size();
    Ref exponents{PyList_New(static_cast<Py_ssize_t>(m))};
    Ref factors{PyList_New(static_cast<Py_ssize_t>(m))};
    if (exponents.p == nullptr || factors.p == nullptr) return failed();
    for (size_t t = 0; t < m; ++t) {
      PyObject* e = PyLong_FromLong(scales[t].exponent);
      PyObject* f = from_f32(scales[t].scale);
      if (e == nullptr || f == nullptr) {
        Py_XDECREF(e);
        Py_XDECREF(f);
        return failed();
      }
      PyList_SetItem(exponents.p, static_cast<Py_ssize_t>(t), e);
      PyList_SetItem(factors.p, static_cast<Py_ssize_t>(t), f);
    }
    const Ref answer{call("gram", "(NOO)", from_indices(updates), exponents.p, factors.p)};
    if (answer.p == nullptr || !has_length(answer.p, ranges_)) return failed();
    std::vector<std::vector<int64_t>> out(ranges_, std::vector<int64_t>(m * m));
    for (size_t s = 0; s < ranges_; ++s) {
      const Ref table{item_of(answer.p, s)};
      if (table.p == nullptr) return failed();
      char* bytes = nullptr;
      Py_ssize_t length = 0;
      if (PyBytes_AsStringAndSize(table.p, &bytes, &length) != 0) return failed();
      if (static_cast<size_t>(length) != m * m * sizeof(int64_t)) {
        PyErr_SetString(PyExc_RuntimeError, "a worker's Gram table has the wrong size");
        return failed();
      }
      if (length > 0) std::memcpy(out[s].data(), bytes, static_cast<size_t>(length));
    }
    return out;
  }

  Status mean_of(std::span<const size_t> updates) override {
    const Ref answer{call("mean_of", "(N)", from_indices(updates))};
    if (answer.p == nullptr) return failed();
    return {};
  }

  Status copy_of(size_t update) override {
    const Ref answer{call("copy_of", "(K)", static_cast<unsigned long long>(update))};
    if (answer.p == nullptr) return failed();
    return {};
  }

 private:
  template <class... A>
  PyObject* call(const char* name, const char* format, A... args) {
    const Ref method{PyObject_GetAttrString(driver_, name)};
    if (method.p == nullptr) return nullptr;
    const Ref arguments{Py_BuildValue(format, args...)};
    if (arguments.p == nullptr) return nullptr;
    return PyObject_Call(method.p, arguments.p, nullptr);
  }

  bool doubles(PyObject* seq, size_t n, std::vector<double>* out) {
    if (!has_length(seq, n)) return false;
    out->resize(n);
    for (size_t t = 0; t < n; ++t) {
      const Ref item{item_of(seq, t)};
      if (item.p == nullptr || !as_double(item.p, &(*out)[t])) return false;
    }
    return true;
  }

  // Keeps the pending exception (the first one, should a later pass also fail) and gives the
  // error the round returns as it is.
  error::SourceFailed failed() {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    if (type_ == nullptr) {
      PyErr_Fetch(&type_, &value_, &traceback_);
    } else {
      PyErr_Clear();
    }
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    return error::SourceFailed{"a worker of the round failed"};
  }

  PyObject* driver_;
  size_t ranges_;
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// A new 1 x (hi - lo) array holding coordinates [lo, hi) of `u` in row-major order.
PyObject* range_copy(const UpdateView& u, size_t lo, size_t hi) {
  Matrix out(1, hi - lo);
  for (size_t c = lo; c < hi;) {
    const size_t r = c / u.cols, col = c % u.cols;
    const size_t take = std::min(u.cols - col, hi - c);
    std::memcpy(out.data() + (c - lo), u.row(r) + col, take * sizeof(float));
    c += take;
  }
  return from_matrix(std::move(out));
}

// Hands every range of the updates that share update 0's shape to the driver:
// driver.place(range, lo, hi, buffers), one range at a time so that the coordinator holds at
// most one range's copies at once.
bool place(PyObject* driver, std::span<const UpdateView> updates, const std::vector<size_t>& cuts) {
  size_t shared = 1;
  while (shared < updates.size() && updates[shared].same_shape(updates[0])) ++shared;
  for (size_t s = 0; s + 1 < cuts.size(); ++s) {
    const Ref buffers{PyList_New(static_cast<Py_ssize_t>(shared))};
    if (buffers.p == nullptr) return false;
    for (size_t k = 0; k < shared; ++k) {
      PyObject* copy = range_copy(updates[k], cuts[s], cuts[s + 1]);
      if (copy == nullptr) return false;
      PyList_SetItem(buffers.p, static_cast<Py_ssize_t>(k), copy);
    }
    const Ref done{PyObject_CallMethod(driver, "place", "(KKKO)",
                                       static_cast<unsigned long long>(s),
                                       static_cast<unsigned long long>(cuts[s]),
                                       static_cast<unsigned long long>(cuts[s + 1]), buffers.p)};
    if (done.p == nullptr) return false;
  }
  return true;
}

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

// _run_round(aggregator, driver, updates, client_ids, weights, shards): one round of
// aggregator.aggregate(updates, client_ids, weights) over the driver's workers. With `updates`
// None, the shards are already placed and driver.layout() describes them. Returns the
// aggregate when the round ran on the coordinator (no updates, or updates without
// coordinates), or the aggregate's shape (rows, cols) when it ran on the workers (each then
// holds its slice of the aggregate).
PyObject* run_round(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *py_aggregator, *driver, *py_updates, *py_ids, *py_weights;
    unsigned long long shards = 1;
    if (!PyArg_ParseTuple(args, "OOOOOK:_run_round", &py_aggregator, &driver, &py_updates,
                          &py_ids, &py_weights, &shards)) {
      return nullptr;
    }
    PyTypeObject* type = core_aggregator_type();
    if (type == nullptr) return nullptr;
    // Exactly the class: it cannot be subclassed, and the layout read below is its own.
    if (Py_TYPE(py_aggregator) != type) {
      raise_argument_error("aggregator", cannot_convert(py_aggregator, kAggregatorKind));
      return nullptr;
    }
    AggregatorInstance* self = AggregatorInstance::of(py_aggregator);
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
      auto result = self->value->aggregate_weighted(views, round_ids, round_weights);
      if (!result.ok()) return raise_fenro_error(result.error());
      return from_matrix(std::move(result).value());
    }
    if (py_updates != Py_None && !place(driver, views, cuts)) return nullptr;

    DriverPasses passes(driver, cuts.size() - 1);
    pipeline::ShardedRoundData data(std::move(shapes), cuts, passes);
    const Status status = self->value->run_round(data, round_ids, round_weights);
    if (!status.ok()) {
      if (passes.restore()) return nullptr;
      if (status.error().is<error::SourceFailed>()) {
        PyErr_SetString(PyExc_RuntimeError, status.error().message().c_str());
        return nullptr;
      }
      return raise_fenro_error(status.error());
    }
    const UpdateShape shape = data.shape(0);
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(shape.rows),
                         static_cast<unsigned long long>(shape.cols));
  });
}

PyMethodDef g_functions[] = {
    {"_run_round", run_round, METH_VARARGS,
     "_run_round(aggregator, driver, updates, client_ids, weights, shards)\n--\n\n"
     "One round of aggregator.aggregate over the driver's workers (fenro.distributed)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_distributed_round(PyObject* module) { return add_functions(module, g_functions); }

}  // namespace fenro::python
