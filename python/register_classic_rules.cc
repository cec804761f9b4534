// fenro._robust: the five rules of fenro._core as plain functions, with the same bits as a
// ByzantineAggregator round without client ids, norm bound or ban.
#include <optional>
#include <span>
#include <vector>

#include "args.h"
#include "errors.h"
#include "fenro/aggregators/fedavg.h"
#include "fenro/aggregators/median.h"
#include "fenro/aggregators/trimmed_mean.h"
#include "heap_type.h"
#include "register.h"
#include "robust_docs.h"
#include "rule_call.h"

namespace fenro::python {
namespace {

std::optional<std::span<const float>> span_of(const std::optional<std::vector<float>>& v) {
  if (!v) return std::nullopt;
  return std::span<const float>(*v);
}

PyObject* fedavg(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"updates", "weights", nullptr};
    PyObject *py_updates, *py_weights = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:fedavg", const_cast<char**>(kw),
                                     &py_updates, &py_weights)) {
      return nullptr;
    }
    std::optional<std::vector<float>> weights;
    return call_with_updates(
        py_updates, [&] { return conversion_runs_no_python(nullptr, py_weights); },
        [&] { return to_f32_list(py_weights, "weights", &weights, true); },
        [&](std::span<const UpdateView> u) {
          return from_result(aggregators::fedavg(u, span_of(weights)));
        });
  });
}

PyObject* trimmed_mean(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"updates", "trim", nullptr};
    PyObject *py_updates, *py_trim = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:trimmed_mean", const_cast<char**>(kw),
                                     &py_updates, &py_trim)) {
      return nullptr;
    }
    if (py_trim == nullptr) return missing_keyword("trimmed_mean", "trim");
    float trim = 0.0f;
    return call_with_updates(
        py_updates, [&] { return is_plain_scalar(py_trim); },
        [&] { return to_f32(py_trim, "trim", &trim, true); },
        [&](std::span<const UpdateView> u) {
          return from_result(aggregators::trimmed_mean(u, trim));
        });
  });
}

PyObject* median(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"updates", nullptr};
    PyObject* py_updates;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:median", const_cast<char**>(kw),
                                     &py_updates)) {
      return nullptr;
    }
    return call_with_updates(
        py_updates, [] { return true; }, [] { return true; },
        [&](std::span<const UpdateView> u) { return from_result(aggregators::median(u)); });
  });
}

PyMethodDef g_functions[] = {
    {"fedavg", as_method(fedavg), METH_VARARGS | METH_KEYWORDS,
     "fedavg(updates, weights=None)\n--\n\n"
     "The mean of the updates, or their weighted mean.\n\n"
     "The same bits as a ByzantineAggregator(\"fedavg\", ...) round without client\n"
     "ids, norm bound or ban.\n\n"
     "Args:\n" FENRO_DOC_UPDATES
     "    weights: Optional, one number per update, rounded to float32. Each must be\n"
     "        finite; zero and negative weights are allowed, a zero sum is not.\n\n"
     FENRO_DOC_RETURNS_ONE
     "Precision:\n"
     "    float32. Unweighted: per element, +0.0 plus the updates in index order,\n"
     "    divided by n. Weighted: each product w * x rounded, the products added in\n"
     "    index order from -0.0 and divided by the weight sum (float32, index order).\n"
     "    An element that overflows although its inputs are finite is recomputed in\n"
     "    float64 in the same order and rounded once.\n\n" FENRO_DOC_RAISES},
    {"trimmed_mean", as_method(trimmed_mean), METH_VARARGS | METH_KEYWORDS,
     "trimmed_mean(updates, *, trim)\n--\n\n"
     "The coordinate-wise trimmed mean.\n\n"
     "Per coordinate, the k smallest and the k largest of the n values are dropped,\n"
     "k = ceil(float32(trim * n)), and the rest averaged. The same bits as a\n"
     "ByzantineAggregator(\"trimmed_mean\", trim) round without client ids, norm\n"
     "bound, ban or adaptive trim.\n\n"
     "Args:\n" FENRO_DOC_UPDATES
     "    trim: The fraction trimmed from each end, in [0, 0.5], rounded to float32;\n"
     "        n must exceed 2k.\n\n" FENRO_DOC_RETURNS_ONE
     "Precision:\n"
     "    Values are ordered by IEEE value (ties, and -0.0 against +0.0, keep index\n"
     "    order); the kept ones are added in ascending order from -0.0 in float32 and\n"
     "    divided by n - 2k. A sum that overflows from finite inputs is recomputed in\n"
     "    float64 in the same order and rounded once.\n\n" FENRO_DOC_RAISES},
    {"median", as_method(median), METH_VARARGS | METH_KEYWORDS,
     "median(updates)\n--\n\n"
     "The coordinate-wise median.\n\n"
     "The middle value for odd n; for even n, (a + b) * 0.5 in float32 of the two\n"
     "middle values (recomputed in float64 and rounded once when a + b overflows).\n"
     "Values are ordered by IEEE value, ties in index order. The same bits as a\n"
     "ByzantineAggregator(\"median\", ...) round without client ids, norm bound or\n"
     "ban; every rule of this module that uses a median uses this one.\n\n"
     "Args:\n" FENRO_DOC_UPDATES "\n" FENRO_DOC_RETURNS_ONE FENRO_DOC_RAISES},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_classic_rules(PyObject* module) { return add_functions(module, g_functions); }

}  // namespace fenro::python
