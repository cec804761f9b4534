#include "distributed_passes.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "args.h"
#include "errors.h"
#include "update_list.h"

namespace fenro::python {

using pipeline::RangeNonFinite;
namespace bfp = aggregators::detail;

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

bool indices_of(PyObject* seq, std::vector<size_t>* out) {
  const Py_ssize_t n = PySequence_Size(seq);
  if (n < 0) return false;
  for (Py_ssize_t t = 0; t < n; ++t) {
    const Ref item{PySequence_GetItem(seq, t)};
    uint64_t at = 0;
    if (item.p == nullptr || !as_u64(item.p, &at)) return false;
    out->push_back(at);
  }
  return true;
}

template <class... A>
PyObject* DriverPasses::call(const char* name, const char* format, A... args) {
  const Ref method{PyObject_GetAttrString(driver_, name)};
  if (method.p == nullptr) return nullptr;
  const Ref arguments{Py_BuildValue(format, args...)};
  if (arguments.p == nullptr) return nullptr;
  return PyObject_Call(method.p, arguments.p, nullptr);
}

DriverPasses::~DriverPasses() {
  Py_XDECREF(type_);
  Py_XDECREF(value_);
  Py_XDECREF(traceback_);
}

bool DriverPasses::restore() {
  if (type_ == nullptr) return false;
  PyErr_Restore(type_, value_, traceback_);
  type_ = value_ = traceback_ = nullptr;
  return true;
}

Result<std::vector<std::vector<update::RangeScan>>> DriverPasses::scans(
    std::span<const size_t> updates) {
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

Result<std::vector<std::vector<double>>> DriverPasses::sums(std::span<const size_t> updates,
                                                           bool distances) {
  const Ref answer{call("sums", "(NO)", from_indices(updates), distances ? Py_True : Py_False)};
  if (answer.p == nullptr || !has_length(answer.p, ranges_)) return failed();
  std::vector<std::vector<double>> out(ranges_);
  for (size_t s = 0; s < ranges_; ++s) {
    const Ref part{item_of(answer.p, s)};
    if (part.p == nullptr || !doubles(part.p, updates.size(), &out[s])) return failed();
  }
  return out;
}

Result<std::vector<double>> DriverPasses::chained_sums(std::span<const size_t> updates,
                                                      bool distances) {
  const Ref answer{
      call("chained_sums", "(NO)", from_indices(updates), distances ? Py_True : Py_False)};
  std::vector<double> out;
  if (answer.p == nullptr || !doubles(answer.p, updates.size(), &out)) return failed();
  return out;
}

Result<std::vector<std::optional<RangeNonFinite>>> DriverPasses::kernel(
    const pipeline::RangeKernel& k) {
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
  const Ref answer{call("kernel", "(iNOdOK)", static_cast<int>(k.method),
                        from_indices(k.updates), weights, static_cast<double>(k.trim_fraction),
                        k.values_owed ? Py_True : Py_False,
                        static_cast<unsigned long long>(k.f))};
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

Result<std::vector<std::vector<int64_t>>> DriverPasses::gram(
    std::span<const size_t> updates, std::span<const bfp::BlockScale> scales) {
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

Status DriverPasses::mean_of(std::span<const size_t> updates) {
  const Ref answer{call("mean_of", "(N)", from_indices(updates))};
  if (answer.p == nullptr) return failed();
  return {};
}

Status DriverPasses::copy_of(size_t update) {
  const Ref answer{call("copy_of", "(K)", static_cast<unsigned long long>(update))};
  if (answer.p == nullptr) return failed();
  return {};
}

 
Status DriverPasses::point_weighted(size_t slot, std::span<const size_t> updates,
                                    std::span<const double> coeffs, double divisor, bool step) {
  const Ref answer{call("point_weighted", "(KNNdO)", static_cast<unsigned long long>(slot),
                        from_indices(updates),
                        from_doubles(coeffs),
                        divisor, step ? Py_True : Py_False)};
  if (answer.p == nullptr) return failed();
  return {};
}

Result<std::vector<double>> DriverPasses::point_chained_sums(size_t slot,
                                                             std::span<const size_t> updates) {
  const Ref answer{call("point_chained_sums", "(KN)", static_cast<unsigned long long>(slot),
                        from_indices(updates))};
  std::vector<double> out;
  if (answer.p == nullptr || !doubles(answer.p, updates.size(), &out)) return failed();
  return out;
}

Status DriverPasses::point_slice(size_t slot, bool to_point) {
  const Ref answer{call("point_slice", "(KO)", static_cast<unsigned long long>(slot),
                        to_point ? Py_True : Py_False)};
  if (answer.p == nullptr) return failed();
  return {};
}

Result<std::vector<std::vector<double>>> DriverPasses::pair_tables(
    std::span<const size_t> updates) {
  const Ref answer{call("pair_tables", "(N)", from_indices(updates))};
  if (answer.p == nullptr || !has_length(answer.p, ranges_)) return failed();
  const size_t entries = updates.size() * updates.size();
  std::vector<std::vector<double>> out(ranges_);
  for (size_t s = 0; s < ranges_; ++s) {
    const Ref part{item_of(answer.p, s)};
    if (part.p == nullptr) return failed();
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(part.p, &bytes, &size) != 0) return failed();
    if (static_cast<size_t>(size) != entries * sizeof(double)) {
      PyErr_SetString(PyExc_RuntimeError, "a worker's answer has the wrong length");
      return failed();
    }
    out[s].resize(entries);
    std::memcpy(out[s].data(), bytes, static_cast<size_t>(size));
  }
  return out;
}

Result<std::vector<double>> DriverPasses::pair_chained_sums(
    std::span<const size_t> updates, std::span<const std::pair<uint32_t, uint32_t>> pairs) {
  const Ref list{PyList_New(static_cast<Py_ssize_t>(pairs.size()))};
  if (list.p == nullptr) return failed();
  for (size_t p = 0; p < pairs.size(); ++p) {
    PyObject* pair = Py_BuildValue("(II)", pairs[p].first, pairs[p].second);
    if (pair == nullptr) return failed();
    PyList_SetItem(list.p, static_cast<Py_ssize_t>(p), pair);
  }
  Py_INCREF(list.p);
  const Ref answer{call("pair_chained_sums", "(NN)", from_indices(updates), list.p)};
  std::vector<double> out;
  if (answer.p == nullptr || !doubles(answer.p, pairs.size(), &out)) return failed();
  return out;
}

bool DriverPasses::doubles(PyObject* seq, size_t n, std::vector<double>* out) {
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
error::SourceFailed DriverPasses::failed() {
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

namespace {

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

}  // namespace

// Hands every range of the updates that share update 0's shape to the driver:
// driver.place(range, lo, hi, buffers), one range at a time so that the coordinator holds at
// most one range's copies at once.
bool place_ranges(PyObject* driver, std::span<const UpdateView> updates,
                  const std::vector<size_t>& cuts) {
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

PyObject* raise_round_error(DriverPasses& passes, const FenroError& error) {
  if (passes.restore()) return nullptr;
  if (error.is<error::SourceFailed>()) {
    PyErr_SetString(PyExc_RuntimeError, error.message().c_str());
    return nullptr;
  }
  return raise_fenro_error(error);
}

}  // namespace fenro::python
