// fenro._robust: the five rules of fenro._core as plain functions, with the same bits as a
// ByzantineAggregator round without client ids, norm bound or ban.
#include <optional>
#include <span>
#include <vector>

#include "args.h"
#include "errors.h"
#include "fenro/aggregators/fedavg.h"
#include "fenro/aggregators/krum_rule.h"
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
  return guarded([&] {
    return call_with_weights(args, kwargs, "O|O:fedavg",
                             [](std::span<const UpdateView> u,
                                const std::optional<std::vector<float>>& weights) {
                               return from_result(aggregators::fedavg(u, span_of(weights)));
                             });
  });
}

PyObject* trimmed_mean(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    return call_with_trim(args, kwargs, "trimmed_mean", "O|$O:trimmed_mean",
                          [](std::span<const UpdateView> u, float trim) {
                            return from_result(aggregators::trimmed_mean(u, trim));
                          });
  });
}

PyObject* median(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    return call_with_updates_only(args, kwargs, "O:median", [](std::span<const UpdateView> u) {
      return from_result(aggregators::median(u));
    });
  });
}

// The tuple of the _info variants of krum and multi_krum: (aggregate, selected).
PyObject* selection_info(aggregators::KrumResult& r) {
  return Py_BuildValue("(NN)", from_matrix(std::move(r.aggregate)), from_indices(r.selected));
}

PyObject* krum_call(PyObject* args, PyObject* kwargs, bool with_info) {
  static const char* kw[] = {"updates", "f", nullptr};
  PyObject *py_updates, *py_f = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, with_info ? "O|$O:krum_info" : "O|$O:krum",
                                   const_cast<char**>(kw), &py_updates, &py_f)) {
    return nullptr;
  }
  if (py_f == nullptr) return missing_keyword(with_info ? "krum_info" : "krum", "f");
  uint64_t f = 0;
  return call_with_updates(
      py_updates, [&] { return is_plain_scalar(py_f); },
      [&] { return to_count(py_f, "f", {"krum", 0, " with n >= 2f + 3"}, &f); },
      [&](std::span<const UpdateView> u) {
        return from_result(
            aggregators::krum(u, f), with_info,
            [](aggregators::KrumResult& r) { return from_matrix(std::move(r.aggregate)); },
            selection_info);
      });
}

PyObject* multi_krum_call(PyObject* args, PyObject* kwargs, bool with_info) {
  static const char* kw[] = {"updates", "f", "m", nullptr};
  PyObject *py_updates, *py_f = nullptr, *py_m = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs,
                                   with_info ? "O|$OO:multi_krum_info" : "O|$OO:multi_krum",
                                   const_cast<char**>(kw), &py_updates, &py_f, &py_m)) {
    return nullptr;
  }
  if (py_f == nullptr) return missing_keyword(with_info ? "multi_krum_info" : "multi_krum", "f");
  uint64_t f = 0;
  std::optional<uint64_t> m;
  return call_with_updates(
      py_updates, [&] { return is_plain_scalar(py_f) && is_plain_scalar(py_m); },
      [&] {
        return to_count(py_f, "f", {"multi_krum", 0, " with n >= 2f + 3"}, &f) &&
               to_optional_count(py_m, "m", {"multi_krum", 1, " with m <= n - 2f - 2"}, &m);
      },
      [&](std::span<const UpdateView> u) {
        return from_result(
            aggregators::multi_krum(u, f, m), with_info,
            [](aggregators::KrumResult& r) { return from_matrix(std::move(r.aggregate)); },
            selection_info);
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
    {"krum", as_method(entry<krum_call, false>), METH_VARARGS | METH_KEYWORDS,
     "krum(updates, *, f)\n--\n\n"
     "The update that Krum selects, tolerating f Byzantine updates.\n\n"
     "Each update scores the sum of its n - f - 2 smallest squared distances to the\n"
     "others; the smallest score wins, the lower index on ties. The distances are\n"
     "exact 64-bit integer sums on the 16-bit block-floating-point encoding of the\n"
     "updates, so the selection is exact and the same on every machine. The same\n"
     "bits as a ByzantineAggregator(\"krum:<f>\", ...) round without client ids,\n"
     "norm bound or ban. krum_info also returns the selected index.\n\n"
     "Args:\n" FENRO_DOC_UPDATES
     "    f: The number of Byzantine updates tolerated, an integer >= 0; n must be\n"
     "        at least 2f + 3.\n\n"
     "Returns:\n"
     "    A copy of the selected update.\n\n" FENRO_DOC_RAISES},
    {"multi_krum", as_method(entry<multi_krum_call, false>), METH_VARARGS | METH_KEYWORDS,
     "multi_krum(updates, *, f, m=None)\n--\n\n"
     "The mean of the m updates with the best Krum scores.\n\n"
     "Scores as krum computes them; the m best are taken, best first (the lower\n"
     "index on equal scores). The same bits as a ByzantineAggregator round of\n"
     "Multi-Krum with this f and m (\"multi_krum:<f>:<m>\") without client ids,\n"
     "norm bound or ban. multi_krum_info also returns the selected indices.\n\n"
     "Args:\n" FENRO_DOC_UPDATES
     "    f: The number of Byzantine updates tolerated, an integer >= 0; n must be\n"
     "        at least 2f + 3.\n"
     "    m: How many updates to average, an integer in 1 ..= n - 2f - 2; None\n"
     "        takes min(n - 2f - 2, 3).\n\n" FENRO_DOC_RETURNS_ONE
     "Precision:\n"
     "    float32: per element, +0.0 plus the selected updates in selection order,\n"
     "    divided by m.\n\n" FENRO_DOC_RAISES},
    {"krum_info", as_method(entry<krum_call, true>), METH_VARARGS | METH_KEYWORDS,
     "krum_info(updates, *, f)\n--\n\n"
     "krum, returning (aggregate, selected): selected holds the chosen index."},
    {"multi_krum_info", as_method(entry<multi_krum_call, true>), METH_VARARGS | METH_KEYWORDS,
     "multi_krum_info(updates, *, f, m=None)\n--\n\n"
     "multi_krum, returning (aggregate, selected): the m indices, best score first."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_classic_rules(PyObject* module) { return add_functions(module, g_functions); }

}  // namespace fenro::python
