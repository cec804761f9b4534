// fenro._robust: the private helpers of fenro.robust.ComposedAggregator's round. Each is one
// pass of the library over the updates, so that the round's Python code works per client and
// never per element: the screening of every update (finiteness and norm in one pass), the
// distances to the aggregate, and the weighted median and trimmed mean. Their names start with
// an underscore and stay out of __all__.
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "args.h"
#include "errors.h"
#include "fenro/aggregators/weighted_median.h"
#include "fenro/aggregators/weighted_trimmed_mean.h"
#include "fenro/math/norms.h"
#include "fenro/update/validation.h"
#include "heap_type.h"
#include "numpy_api.h"
#include "register.h"
#include "rule_call.h"

namespace fenro::python {
namespace {

// (norms, bad): the float64 norm of every update (row-major sequential sum, as the norm bound
// measures it), and for each update holding a NaN or an infinity, in index order, the tuple
// (index, row, column, value) of its first one in row-major order. A float64 sum of squares of
// finite float32 values cannot overflow, so an update's norm is finite exactly when all its
// values are, and only those updates are searched again. Updates of different shapes are
// measured each on its own; no update is an error.
PyObject* screen(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    return call_with_updates_only(
        args, kwargs, "O:_screen", [&](std::span<const UpdateView> u) -> PyObject* {
          std::vector<double> norms(u.size());
          math::l2_norms_f64(u, norms.data());
          const Ref bad{PyList_New(0)};
          if (bad.p == nullptr) return nullptr;
          for (size_t k = 0; k < u.size(); ++k) {
            if (std::isfinite(norms[k])) continue;
            const Status found = update::check_finite(u[k], k);
            const auto* at = found.ok() ? nullptr : found.error().get_if<error::NonFiniteValue>();
            if (at == nullptr) continue;  // unreachable: a non-finite norm has a non-finite value
            const Ref item{Py_BuildValue("(nKKd)", static_cast<Py_ssize_t>(k),
                                         static_cast<unsigned long long>(at->row),
                                         static_cast<unsigned long long>(at->column),
                                         static_cast<double>(at->value))};
            if (item.p == nullptr || PyList_Append(bad.p, item.p) < 0) return nullptr;
          }
          return Py_BuildValue("(NN)", from_doubles(norms), PyList_AsTuple(bad.p));
        });
  });
}

// The float64 distance of every update to `point` (a 2-D float32 array of the updates' shape),
// as l2_distances_f64 measures it. A point of another shape is DimensionMismatch.
PyObject* distances(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"updates", "point", nullptr};
    PyObject *py_updates, *py_point;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:_distances", const_cast<char**>(kw),
                                     &py_updates, &py_point)) {
      return nullptr;
    }
    UpdateList point;
    return call_with_updates(
        py_updates, [] { return true; },
        [&] { return numpy::ensure_loaded() && point.convert_one(py_point, "point", false); },
        [&](std::span<const UpdateView> u) -> PyObject* {
          std::span<const UpdateView> p;
          if (!point.views("point", &p)) return nullptr;
          for (const UpdateView& x : u) {
            if (!x.same_shape(p[0])) return raise_fenro_error(error::DimensionMismatch{});
          }
          std::vector<double> out(u.size());
          math::l2_distances_f64(u, p[0], out.data());
          return from_doubles(out);
        });
  });
}

PyObject* weighted_median(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"updates", "weights", nullptr};
    PyObject *py_updates, *py_weights;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:_weighted_median", const_cast<char**>(kw),
                                     &py_updates, &py_weights)) {
      return nullptr;
    }
    std::optional<std::vector<float>> weights;
    return call_with_updates(
        py_updates, [&] { return conversion_runs_no_python(nullptr, py_weights); },
        [&] { return to_f32_list(py_weights, "weights", &weights, true); },
        [&](std::span<const UpdateView> u) {
          return from_result(
              aggregators::weighted_median(u, weights.value_or(std::vector<float>{})));
        });
  });
}

PyObject* weighted_trimmed_mean(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"updates", "weights", "trim", nullptr};
    PyObject *py_updates, *py_weights, *py_trim = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O:_weighted_trimmed_mean",
                                     const_cast<char**>(kw), &py_updates, &py_weights,
                                     &py_trim)) {
      return nullptr;
    }
    if (py_trim == nullptr) return missing_keyword("_weighted_trimmed_mean", "trim");
    std::optional<std::vector<float>> weights;
    float trim = 0.0f;
    return call_with_updates(
        py_updates,
        [&] { return conversion_runs_no_python(nullptr, py_weights) && is_plain_scalar(py_trim); },
        [&] {
          return to_f32_list(py_weights, "weights", &weights, true) &&
                 to_f32(py_trim, "trim", &trim, true);
        },
        [&](std::span<const UpdateView> u) {
          return from_result(aggregators::weighted_trimmed_mean(
              u, weights.value_or(std::vector<float>{}), trim));
        });
  });
}

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef g_functions[] = {
    {"_screen", as_method(screen), kFlags,
     "_screen(updates)\n--\n\n"
     "(norms, bad): every update's float64 norm (row-major sequential sum), and\n"
     "(index, row, column, value) of the first NaN or infinity of each update that\n"
     "holds one, in index order. One pass over the values."},
    {"_distances", as_method(distances), kFlags,
     "_distances(updates, point)\n--\n\n"
     "The float64 distance (row-major sequential sum) of every update to point, a\n"
     "float32 array of their shape."},
    {"_weighted_median", as_method(weighted_median), kFlags,
     "_weighted_median(updates, weights)\n--\n\n"
     "Per coordinate, the smallest value at which the cumulative weight (values in\n"
     "ascending order, equal values in index order, float64 sums) reaches half the\n"
     "total. Weights: finite, >= 0, not all zero; rounded to float32."},
    {"_weighted_trimmed_mean", as_method(weighted_trimmed_mean), kFlags,
     "_weighted_trimmed_mean(updates, weights, *, trim)\n--\n\n"
     "Per coordinate, the weighted mean after trimming a weight mass of trim * W\n"
     "from each end, the boundary value keeping its untrimmed fraction (float64).\n"
     "trim in [0, 0.5); weights as for _weighted_median."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_round_helpers(PyObject* module) { return add_functions(module, g_functions); }

}  // namespace fenro::python
