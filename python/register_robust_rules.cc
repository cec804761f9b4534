// fenro._robust: the robust rules beyond fenro._core's five.
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "args.h"
#include "errors.h"
#include "fenro/aggregators/bulyan.h"
#include "fenro/aggregators/centered_clipping.h"
#include "fenro/aggregators/geometric_median.h"
#include "fenro/aggregators/meamed.h"
#include "heap_type.h"
#include "numpy_api.h"
#include "register.h"
#include "robust_docs.h"
#include "rule_call.h"

namespace fenro::python {
namespace {

PyObject* aggregate_of(auto& result) { return from_matrix(std::move(result.aggregate)); }

PyObject* geometric_median_call(PyObject* args, PyObject* kwargs, bool with_info) {
  static const char* kw[] = {"updates", "weights", "nu", "tol", "max_iter", nullptr};
  PyObject *py_updates, *py_weights = nullptr, *py_nu = nullptr, *py_tol = nullptr,
                        *py_max_iter = nullptr;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, with_info ? "O|O$OOO:geometric_median_info" : "O|O$OOO:geometric_median",
          const_cast<char**>(kw), &py_updates, &py_weights, &py_nu, &py_tol, &py_max_iter)) {
    return nullptr;
  }
  std::optional<std::vector<float>> weights;
  double nu = 1e-6;
  double tol = 1e-7;
  uint64_t max_iter = 100;
  return call_with_updates(
      py_updates,
      [&] {
        return conversion_runs_no_python(nullptr, py_weights) && is_plain_scalar(py_nu) &&
               is_plain_scalar(py_tol) && is_plain_scalar(py_max_iter);
      },
      [&] {
        return to_f32_list(py_weights, "weights", &weights, true) &&
               (py_nu == nullptr || to_real(py_nu, "nu", &nu)) &&
               (py_tol == nullptr || to_real(py_tol, "tol", &tol)) &&
               (py_max_iter == nullptr ||
                to_count(py_max_iter, "max_iter", {"geometric_median", 0, ""}, &max_iter));
      },
      [&](std::span<const UpdateView> u) {
        std::optional<std::span<const float>> w;
        if (weights) w = *weights;
        return from_result(
            aggregators::geometric_median(u, w, nu, tol, max_iter), with_info,
            [](auto& r) { return aggregate_of(r); },
            [](aggregators::GeometricMedianResult& r) {
              return Py_BuildValue("(NKd)", aggregate_of(r),
                                   static_cast<unsigned long long>(r.iterations), r.objective);
            });
      });
}

PyObject* centered_clipping_call(PyObject* args, PyObject* kwargs, bool with_info) {
  static const char* kw[] = {"updates", "tau", "iterations", "center", nullptr};
  const char* fn = with_info ? "centered_clipping_info" : "centered_clipping";
  PyObject *py_updates, *py_tau = nullptr, *py_iterations = nullptr, *py_center = nullptr;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, with_info ? "O|$OOO:centered_clipping_info" : "O|$OOO:centered_clipping",
          const_cast<char**>(kw), &py_updates, &py_tau, &py_iterations, &py_center)) {
    return nullptr;
  }
  if (py_tau == nullptr) return missing_keyword(fn, "tau");
  const bool has_center = py_center != nullptr && py_center != Py_None;
  double tau = 0.0;
  uint64_t iterations = 1;
  UpdateList center;
  return call_with_updates(
      py_updates,
      [&] { return is_plain_scalar(py_tau) && is_plain_scalar(py_iterations); },
      [&] {
        if (!to_real(py_tau, "tau", &tau)) return false;
        if (py_iterations != nullptr &&
            !to_count(py_iterations, "iterations", {"centered_clipping", 1, ""}, &iterations)) {
          return false;
        }
        if (!has_center) return true;
        // The updates may have needed no NumPy (an empty list); the center does. It is the
        // last argument converted, so no code of the caller's runs after its check.
        return numpy::ensure_loaded() && center.convert_one(py_center, "center", false);
      },
      [&](std::span<const UpdateView> u) -> PyObject* {
        std::optional<UpdateView> c;
        if (has_center) {
          std::span<const UpdateView> views;
          if (!center.views("center", &views)) return nullptr;
          c = views[0];
        }
        return from_result(
            aggregators::centered_clipping(u, tau, iterations, c), with_info,
            [](auto& r) { return aggregate_of(r); },
            [](aggregators::CenteredClippingResult& r) {
              return Py_BuildValue("(NNN)", aggregate_of(r), from_doubles(r.distances),
                                   from_doubles(r.factors));
            });
      });
}

PyObject* bulyan_call(PyObject* args, PyObject* kwargs, bool with_info) {
  return call_with_f(args, kwargs, with_info ? "bulyan_info" : "bulyan",
                     with_info ? "O|$O:bulyan_info" : "O|$O:bulyan", "bulyan",
                     " with n >= 4f + 3", [&](std::span<const UpdateView> u, uint64_t f) {
                       return from_result(
                           aggregators::bulyan(u, f), with_info,
                           [](auto& r) { return aggregate_of(r); },
                           [](aggregators::BulyanResult& r) {
                             return Py_BuildValue("(NN)", aggregate_of(r),
                                                  from_indices(r.selected));
                           });
                     });
}

PyObject* meamed(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    return call_with_f(args, kwargs, "meamed", "O|$O:meamed", "meamed", " with 2f < n",
                       [](std::span<const UpdateView> u, uint64_t f) {
                         return from_result(aggregators::meamed(u, f));
                       });
  });
}

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef g_functions[] = {
    {"geometric_median", as_method(entry<geometric_median_call, false>), kFlags,
     "geometric_median(updates, weights=None, *, nu=1e-06, tol=1e-07, max_iter=100)\n--\n\n"
     "The geometric median of the updates, by the smoothed Weiszfeld iteration.\n\n"
     "The point z minimising sum_i w_i * ||z - x_i||. z starts at the (weighted)\n"
     "mean; each step sets z = sum_i b_i x_i / sum_i b_i with\n"
     "b_i = w_i / max(nu, ||z - x_i||). The iteration stops after max_iter steps,\n"
     "or when the objective fell by less than tol times its previous value (an\n"
     "increase stops it too), or reached 0. The iterate with the smallest\n"
     "objective seen is returned, the earliest on equal objectives.\n"
     "geometric_median_info also returns the steps taken and that objective.\n\n"
     "Args:\n" FENRO_DOC_UPDATES
     "    weights: Optional, one number per update, rounded to float32: finite,\n"
     "        >= 0 and not all zero; an update of weight zero takes no part.\n"
     "    nu: The smoothing distance, finite and > 0.\n"
     "    tol: The relative decrease that continues the iteration, finite, >= 0.\n"
     "    max_iter: The most steps, an integer >= 0 (0 returns the mean).\n\n"
     FENRO_DOC_RETURNS_ONE
     "Precision:\n"
     "    The iteration runs in float64 and the result is rounded once to float32.\n"
     "    Every sum over updates (the mean, each step's weighted sums, the\n"
     "    objective, the weight total) adds in index order from +0.0; each distance\n"
     "    ||z - x_i|| is the float64 sum of squares in row-major order.\n\n"
     FENRO_DOC_RAISES},
    {"centered_clipping", as_method(entry<centered_clipping_call, false>), kFlags,
     "centered_clipping(updates, *, tau, iterations=1, center=None)\n--\n\n"
     "Centered clipping: the center moved by the clipped mean deviation.\n\n"
     "v starts at `center`, or at median(updates) without one; each iteration sets\n"
     "v = v + (1/n) sum_i (x_i - v) * min(1, tau / ||x_i - v||), where an update at\n"
     "distance zero contributes nothing. centered_clipping_info also returns each\n"
     "update's distance and clipping factor in the last iteration.\n\n"
     "Args:\n" FENRO_DOC_UPDATES
     "    tau: The clipping radius, > 0; inf makes each step the plain mean step.\n"
     "    iterations: The number of steps, an integer >= 1.\n"
     "    center: Optional float32 array of the updates' shape, finite (typically\n"
     "        the previous round's aggregate).\n\n" FENRO_DOC_RETURNS_ONE
     "Precision:\n"
     "    v is kept in float64 and rounded once to float32 at the end. Per element\n"
     "    the clipped deviations are added in index order from +0.0 and divided by\n"
     "    n; each distance is the float64 sum of squares in row-major order.\n\n"
     FENRO_DOC_RAISES},
    {"bulyan", as_method(entry<bulyan_call, false>), kFlags,
     "bulyan(updates, *, f)\n--\n\n"
     "Bulyan: repeated Krum selection, then a mean around the median.\n\n"
     "theta = n - 2f updates are selected one by one by Krum on the remaining set\n"
     "(with n' remaining, each scores its max(n' - f - 2, 1) smallest distances;\n"
     "the chosen one leaves the set). Then per coordinate, over the selected\n"
     "values, the beta = theta - 2f values nearest to their median are averaged\n"
     "(ties to the lower index). bulyan_info also returns the selected indices in\n"
     "selection order.\n\n"
     "Args:\n" FENRO_DOC_UPDATES
     "    f: The number of Byzantine updates tolerated, an integer >= 0 with\n"
     "        n >= 4f + 3.\n\n" FENRO_DOC_RETURNS_ONE
     "Precision:\n"
     "    The selection uses Krum's exact integer distances on the 16-bit\n"
     "    block-floating-point encoding (as krum). The median is median()'s; the\n"
     "    distances to it and the mean of the kept values are float64 (kept values\n"
     "    added in ascending order), rounded once to float32.\n\n" FENRO_DOC_RAISES},
    {"meamed", as_method(meamed), kFlags,
     "meamed(updates, *, f)\n--\n\n"
     "The mean around the median.\n\n"
     "Per coordinate, the n - f values nearest to the coordinate's median (as\n"
     "median() computes it) are averaged; ties go to the lower index.\n\n"
     "Args:\n" FENRO_DOC_UPDATES
     "    f: The number of Byzantine updates tolerated, an integer >= 0 with\n"
     "        2f < n.\n\n" FENRO_DOC_RETURNS_ONE
     "Precision:\n"
     "    The distances to the median are float64; the kept values are added in\n"
     "    ascending order in float64, divided by n - f and rounded once to float32.\n\n"
     FENRO_DOC_RAISES},
    {"geometric_median_info", as_method(entry<geometric_median_call, true>), kFlags,
     "geometric_median_info(updates, weights=None, *, nu=1e-06, tol=1e-07, max_iter=100)\n"
     "--\n\n"
     "geometric_median, returning (aggregate, iterations, objective)."},
    {"centered_clipping_info", as_method(entry<centered_clipping_call, true>), kFlags,
     "centered_clipping_info(updates, *, tau, iterations=1, center=None)\n--\n\n"
     "centered_clipping, returning (aggregate, distances, factors) of the last step."},
    {"bulyan_info", as_method(entry<bulyan_call, true>), kFlags,
     "bulyan_info(updates, *, f)\n--\n\n"
     "bulyan, returning (aggregate, selected) in selection order."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_robust_rules(PyObject* module) { return add_functions(module, g_functions); }

}  // namespace fenro::python
