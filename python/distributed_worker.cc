// fenro._distributed's worker passes: what the holder of one coordinate range of every update
// computes on its buffers (pipeline::range_pass). The buffers are 1 x len float32 arrays, one
// per update of the round, listed in the order the coordinator asks for; every answer is small
// (a few numbers per update) except a slice of the aggregate. These functions are called by
// fenro.distributed's actors only; their arguments come from the coordinator, so a wrong one is
// a fault of the package and raises a plain TypeError or ValueError.
#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "args.h"
#include "distributed_passes.h"
#include "distributed_register.h"
#include "errors.h"
#include "fenro/aggregators/fedavg.h"
#include "fenro/math/means.h"
#include "fenro/math/running_sums.h"
#include "fenro/pipeline/sharded_round_data.h"
#include "heap_type.h"
#include "numpy_api.h"
#include "update_list.h"

namespace fenro::python {
namespace {

using pipeline::RangeKernel;
using pipeline::RangeMethod;

// The buffers argument as views, valid while `list` lives.
bool buffers_of(PyObject* obj, UpdateList& list, std::span<const UpdateView>* views) {
  if (!UpdateList::needs_no_numpy(obj) && !numpy::ensure_loaded()) return false;
  return list.convert(obj, "buffers", /*copy_on_entry=*/false) && list.views("buffers", views);
}

bool to_doubles(PyObject* obj, size_t n, std::vector<double>* out) {
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) return false;
  if (static_cast<size_t>(size) != n) {
    PyErr_SetString(PyExc_ValueError, "one running sum per buffer is needed");
    return false;
  }
  out->resize(n);
  for (size_t t = 0; t < n; ++t) {
    const Ref item{PySequence_GetItem(obj, static_cast<Py_ssize_t>(t))};
    if (item.p == nullptr) return false;
    (*out)[t] = PyFloat_AsDouble(item.p);
    if ((*out)[t] == -1.0 && PyErr_Occurred()) return false;
  }
  return true;
}

// _scans(buffers): one (coordinate of the first NaN or infinity or -1, its value, the largest
// finite magnitude) per buffer.
PyObject* scans(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* py_buffers;
    if (!PyArg_ParseTuple(args, "O:_scans", &py_buffers)) return nullptr;
    UpdateList list;
    std::span<const UpdateView> views;
    if (!buffers_of(py_buffers, list, &views)) return nullptr;
    const std::vector<update::RangeScan> found = pipeline::range_pass::scans(views);
    PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(found.size()));
    if (out == nullptr) return nullptr;
    for (size_t t = 0; t < found.size(); ++t) {
      const update::RangeScan& s = found[t];
      const long long at = s.first_non_finite ? static_cast<long long>(*s.first_non_finite) : -1;
      PyObject* item = Py_BuildValue("(LNN)", at, from_f32(s.value), from_f32(s.max_abs));
      if (item == nullptr) {
        Py_DECREF(out);
        return nullptr;
      }
      PyTuple_SetItem(out, static_cast<Py_ssize_t>(t), item);
    }
    return out;
  });
}

// _sums(buffers, running, aggregate): each buffer's running sum (None: from -0.0) continued
// with its squares, or with the squares of its differences from `aggregate` (a 1 x len array,
// the aggregate's slice of this range) when that is not None.
PyObject* sums(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *py_buffers, *py_running, *py_aggregate;
    if (!PyArg_ParseTuple(args, "OOO:_sums", &py_buffers, &py_running, &py_aggregate)) {
      return nullptr;
    }
    UpdateList list;
    std::span<const UpdateView> views;
    if (!buffers_of(py_buffers, list, &views)) return nullptr;
    std::vector<double> running(views.size(), math::kRunningSumStart);
    if (py_running != Py_None && !to_doubles(py_running, views.size(), &running)) return nullptr;
    UpdateList aggregate_list;
    std::span<const UpdateView> aggregate;
    if (py_aggregate != Py_None) {
      if (!numpy::ensure_loaded() ||
          !aggregate_list.convert_one(py_aggregate, "aggregate", false) ||
          !aggregate_list.views("aggregate", &aggregate)) {
        return nullptr;
      }
      for (const UpdateView& v : views) {
        if (v.size() != aggregate[0].size()) {
          PyErr_SetString(PyExc_ValueError, "the aggregate's slice and the buffers differ");
          return nullptr;
        }
      }
    }
    pipeline::range_pass::continue_sums(views, aggregate.empty() ? nullptr : &aggregate[0],
                                        running.data());
    return from_doubles(running);
  });
}

// _kernel(method, buffers, weights, trim_fraction, values_owed, f=0): method 0 FedAvg, 1
// trimmed mean, 2 median, 3 mean around the median (with f), 4 the mean of the f values
// nearest to the median (Bulyan's last step), on the buffers in the order
// given. Returns the aggregate's slice (a 1 x len array), or (position, coordinate, value) of
// the first non-finite value when values are owed.
PyObject* kernel(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    int method = 0;
    PyObject *py_buffers, *py_weights;
    float trim = 0.0f;
    int owed = 0;
    unsigned long long f = 0;
    if (!PyArg_ParseTuple(args, "iOOfp|K:_kernel", &method, &py_buffers, &py_weights, &trim,
                          &owed, &f)) {
      return nullptr;
    }
    if (method < 0 || method > 4) {
      PyErr_SetString(PyExc_ValueError, "unknown coordinate-wise method");
      return nullptr;
    }
    RangeKernel k;
    k.method = static_cast<RangeMethod>(method);
    k.trim_fraction = trim;
    k.values_owed = owed != 0;
    k.f = f;
    if (!to_f32_list(py_weights, "weights", &k.weights)) return nullptr;
    UpdateList list;
    std::span<const UpdateView> views;
    if (!buffers_of(py_buffers, list, &views)) return nullptr;
    std::optional<pipeline::RangeNonFinite> bad;
    auto slice = pipeline::range_pass::kernel(k, views, &bad);
    if (!slice.ok()) return raise_fenro_error(slice.error());
    if (bad) {
      return Py_BuildValue("(KKN)", static_cast<unsigned long long>(bad->update),
                           static_cast<unsigned long long>(bad->coordinate), from_f32(bad->value));
    }
    return from_matrix(std::move(slice).value());
  });
}

// _gram(buffers, exponents, scales, finite): the range's exact Gram table of the buffers'
// mantissas with the whole updates' block scales, as n * n native int64 values in bytes
// (entries j >= i of row i filled).
PyObject* gram(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *py_buffers, *py_exponents, *py_scales;
    if (!PyArg_ParseTuple(args, "OOO:_gram", &py_buffers, &py_exponents, &py_scales)) {
      return nullptr;
    }
    UpdateList list;
    std::span<const UpdateView> views;
    if (!buffers_of(py_buffers, list, &views)) return nullptr;
    std::vector<double> exponents, scales;
    if (!to_doubles(py_exponents, views.size(), &exponents) ||
        !to_doubles(py_scales, views.size(), &scales)) {
      return nullptr;
    }
    std::vector<aggregators::detail::BlockScale> block(views.size());
    for (size_t t = 0; t < views.size(); ++t) {
      block[t].exponent = static_cast<int8_t>(exponents[t]);
      block[t].scale = static_cast<float>(scales[t]);
      block[t].finite = true;  // Krum scores validated updates only
    }
    const std::vector<int64_t> table = pipeline::range_pass::gram(views, block);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(table.data()),
                                     static_cast<Py_ssize_t>(table.size() * sizeof(int64_t)));
  });
}

// _mean(buffers): the plain mean of the buffers added in the order given (Multi-Krum's).
PyObject* mean(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* py_buffers;
    if (!PyArg_ParseTuple(args, "O:_mean", &py_buffers)) return nullptr;
    UpdateList list;
    std::span<const UpdateView> views;
    if (!buffers_of(py_buffers, list, &views)) return nullptr;
    if (views.empty()) {
      PyErr_SetString(PyExc_ValueError, "the mean of no buffers");
      return nullptr;
    }
    return from_matrix(aggregators::mean_unchecked(views));
  });
}

// A range's part of a float64 point: a bytearray of one native double per coordinate of the
// buffers, written in place.
bool point_of(PyObject* obj, std::span<const UpdateView> views, double** out) {
  const size_t len = views.empty() ? 0 : views[0].size();
  if (!PyByteArray_Check(obj) ||
      static_cast<size_t>(PyByteArray_Size(obj)) != len * sizeof(double)) {
    PyErr_SetString(PyExc_ValueError, "a point is a bytearray of one double per coordinate");
    return false;
  }
  for (const UpdateView& v : views) {
    if (v.size() != len) {
      PyErr_SetString(PyExc_ValueError, "the buffers differ in length");
      return false;
    }
  }
  *out = reinterpret_cast<double*>(PyByteArray_AsString(obj));
  return true;
}

// _point_weighted(buffers, coeffs, divisor, step, point): sets the point (a bytearray, see
// point_of) from the buffers as the iterative rules' weighted pass does
// (range_pass::point_weighted).
PyObject* point_weighted(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *py_buffers, *py_coeffs, *py_point;
    double divisor = 1.0;
    int step = 0;
    if (!PyArg_ParseTuple(args, "OOdpO:_point_weighted", &py_buffers, &py_coeffs, &divisor,
                          &step, &py_point)) {
      return nullptr;
    }
    UpdateList list;
    std::span<const UpdateView> views;
    std::vector<double> coeffs;
    double* point = nullptr;
    if (!buffers_of(py_buffers, list, &views) ||
        !to_doubles(py_coeffs, views.size(), &coeffs) || !point_of(py_point, views, &point)) {
      return nullptr;
    }
    pipeline::range_pass::point_weighted(views, coeffs, divisor, step != 0, point);
    Py_RETURN_NONE;
  });
}

// _point_sums(buffers, running, point): each buffer's running sum (None: from -0.0) continued
// with the squares of its differences from the point (a bytearray, see point_of).
PyObject* point_sums(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *py_buffers, *py_running, *py_point;
    if (!PyArg_ParseTuple(args, "OOO:_point_sums", &py_buffers, &py_running, &py_point)) {
      return nullptr;
    }
    UpdateList list;
    std::span<const UpdateView> views;
    double* point = nullptr;
    if (!buffers_of(py_buffers, list, &views) || !point_of(py_point, views, &point)) {
      return nullptr;
    }
    std::vector<double> running(views.size(), math::kRunningSumStart);
    if (py_running != Py_None && !to_doubles(py_running, views.size(), &running)) return nullptr;
    pipeline::range_pass::continue_point_sums(views, point, running.data());
    return from_doubles(running);
  });
}

// _pair_table(buffers): the range's exact squared distance of every pair of buffers, as n * n
// native doubles in bytes (range_pass::pair_table).
PyObject* pair_table(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* py_buffers;
    if (!PyArg_ParseTuple(args, "O:_pair_table", &py_buffers)) return nullptr;
    UpdateList list;
    std::span<const UpdateView> views;
    if (!buffers_of(py_buffers, list, &views)) return nullptr;
    const std::vector<double> table = pipeline::range_pass::pair_table(views);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(table.data()),
                                     static_cast<Py_ssize_t>(table.size() * sizeof(double)));
  });
}

// _pair_sums(buffers, pairs, running): for each pair (i, j) of buffer positions, its running
// sum (running None: from -0.0) continued with the squares of their differences.
PyObject* pair_sums(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *py_buffers, *py_pairs, *py_running;
    if (!PyArg_ParseTuple(args, "OOO:_pair_sums", &py_buffers, &py_pairs, &py_running)) {
      return nullptr;
    }
    UpdateList list;
    std::span<const UpdateView> views;
    if (!buffers_of(py_buffers, list, &views)) return nullptr;
    const Py_ssize_t count = PySequence_Size(py_pairs);
    if (count < 0) return nullptr;
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    for (Py_ssize_t p = 0; p < count; ++p) {
      const Ref item{PySequence_GetItem(py_pairs, p)};
      unsigned int i = 0, j = 0;
      if (item.p == nullptr || !PyArg_ParseTuple(item.p, "II:pair", &i, &j)) return nullptr;
      if (i >= views.size() || j >= views.size()) {
        PyErr_SetString(PyExc_ValueError, "a pair names a buffer that is not there");
        return nullptr;
      }
      pairs.push_back({i, j});
    }
    std::vector<double> running(pairs.size(), math::kRunningSumStart);
    if (py_running != Py_None && !to_doubles(py_running, pairs.size(), &running)) return nullptr;
    pipeline::range_pass::continue_pair_sums(views, pairs, running.data());
    return from_doubles(running);
  });
}

// _mix(buffers, offsets, members): nearest-neighbour mixing's means on the range: output i is
// the mean of the buffers members[offsets[i] .. offsets[i + 1]) (math::average_lists_f64), an
// (n, len) float32 array; None when a value is NaN or infinite.
PyObject* mix(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *py_buffers, *py_offsets, *py_members;
    if (!PyArg_ParseTuple(args, "OOO:_mix", &py_buffers, &py_offsets, &py_members)) {
      return nullptr;
    }
    UpdateList list;
    std::span<const UpdateView> views;
    if (!buffers_of(py_buffers, list, &views)) return nullptr;
    std::vector<size_t> offset_list, member_list;
    if (!indices_of(py_offsets, &offset_list) || !indices_of(py_members, &member_list)) {
      return nullptr;
    }
    const std::vector<uint32_t> offsets(offset_list.begin(), offset_list.end());
    const std::vector<uint32_t> members(member_list.begin(), member_list.end());
    bool fits = !views.empty() && offsets.size() >= 2 && offsets.front() == 0 &&
                offsets.back() == members.size() && std::is_sorted(offsets.begin(), offsets.end());
    for (uint32_t m : members) fits = fits && m < views.size();
    if (!fits) {
      PyErr_SetString(PyExc_ValueError, "the lists do not fit the buffers");
      return nullptr;
    }
    UpdateStack out(offsets.size() - 1, 1, views[0].size());
    if (!math::average_lists_f64(views, offsets, members, out)) Py_RETURN_NONE;
    return from_stack(std::move(out));
  });
}

PyMethodDef g_functions[] = {
    {"_scans", scans, METH_VARARGS, "Range scans of the buffers (a worker pass)."},
    {"_sums", sums, METH_VARARGS, "Running sums of squares continued over the buffers."},
    {"_kernel", kernel, METH_VARARGS, "A coordinate-wise method on the buffers."},
    {"_gram", gram, METH_VARARGS, "The buffers' exact Gram table with given block scales."},
    {"_mean", mean, METH_VARARGS, "The plain mean of the buffers in the order given."},
    {"_pair_table", pair_table, METH_VARARGS, "Exact squared distances of the buffers' pairs."},
    {"_pair_sums", pair_sums, METH_VARARGS,
     "Running sums of the squared differences of pairs of buffers, continued."},
    {"_mix", mix, METH_VARARGS, "Means of lists of buffers (nearest-neighbour mixing)."},
    {"_point_weighted", point_weighted, METH_VARARGS, "A point set from the buffers."},
    {"_point_sums", point_sums, METH_VARARGS,
     "Running sums of squared differences from a point, continued over the buffers."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_distributed_worker(PyObject* module) { return add_functions(module, g_functions); }

}  // namespace fenro::python
