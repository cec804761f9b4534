// fenro._robust: the pre-aggregators, which turn n updates into mixed, bucketed or clipped ones
// for a rule to aggregate. Each returns a new (count, rows, cols) float32 array whose buffer is
// the library's result.
#include <cstdint>
#include <span>
#include <utility>

#include "args.h"
#include "errors.h"
#include "fenro/preaggregation/arc.h"
#include "fenro/preaggregation/bucketing.h"
#include "fenro/preaggregation/clip.h"
#include "fenro/preaggregation/nnm.h"
#include "heap_type.h"
#include "register.h"
#include "robust_docs.h"
#include "rule_call.h"

namespace fenro::python {
namespace {

// neighbours, row-major with `width` entries per update, as a tuple of tuples.
PyObject* neighbour_rows(std::span<const uint32_t> neighbours, size_t width) {
  const size_t rows = width == 0 ? 0 : neighbours.size() / width;
  PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(rows));
  if (out == nullptr) return nullptr;
  for (size_t i = 0; i < rows; ++i) {
    PyObject* row = PyTuple_New(static_cast<Py_ssize_t>(width));
    if (row == nullptr) {
      Py_DECREF(out);
      return nullptr;
    }
    PyTuple_SetItem(out, static_cast<Py_ssize_t>(i), row);  // steals the row
    for (size_t j = 0; j < width; ++j) {
      PyObject* index = PyLong_FromUnsignedLong(neighbours[i * width + j]);
      if (index == nullptr) {
        Py_DECREF(out);
        return nullptr;
      }
      PyTuple_SetItem(row, static_cast<Py_ssize_t>(j), index);
    }
  }
  return out;
}

PyObject* nnm_call(PyObject* args, PyObject* kwargs, bool with_info) {
  return call_with_f(
      args, kwargs, with_info ? "nnm_info" : "nnm", with_info ? "O|$O:nnm_info" : "O|$O:nnm",
      "nnm", " with 2f < n", [&](std::span<const UpdateView> u, uint64_t f) {
        return from_result(
            preaggregation::nnm(u, f), with_info,
            [](preaggregation::NnmResult& r) { return from_stack(std::move(r.mixed)); },
            [](preaggregation::NnmResult& r) {
              const size_t n = r.mixed.count();
              PyObject* neighbours =
                  neighbour_rows(r.neighbours, n == 0 ? 0 : r.neighbours.size() / n);
              return Py_BuildValue("(NN)", from_stack(std::move(r.mixed)), neighbours);
            });
      });
}

PyObject* bucketing_call(PyObject* args, PyObject* kwargs, bool with_info) {
  static const char* kw[] = {"updates", "s", "seed", nullptr};
  const char* fn = with_info ? "bucketing_info" : "bucketing";
  PyObject *py_updates, *py_s = nullptr, *py_seed = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs,
                                   with_info ? "O|$OO:bucketing_info" : "O|$OO:bucketing",
                                   const_cast<char**>(kw), &py_updates, &py_s, &py_seed)) {
    return nullptr;
  }
  if (py_s == nullptr) return missing_keyword(fn, "s");
  if (py_seed == nullptr) return missing_keyword(fn, "seed");
  uint64_t s = 1;
  uint64_t seed = 0;
  return call_with_updates(
      py_updates, [&] { return is_plain_scalar(py_s) && is_plain_scalar(py_seed); },
      [&] {
        return to_count(py_s, "s", {"bucketing", 1, ""}, &s) &&
               to_count(py_seed, "seed", {"bucketing", 0, ""}, &seed);
      },
      [&](std::span<const UpdateView> u) {
        return from_result(
            preaggregation::bucketing(u, s, seed), with_info,
            [](preaggregation::BucketingResult& r) { return from_stack(std::move(r.buckets)); },
            [](preaggregation::BucketingResult& r) {
              return Py_BuildValue("(NN)", from_stack(std::move(r.buckets)),
                                   from_indices(r.permutation));
            });
      });
}

PyObject* clip_call(PyObject* args, PyObject* kwargs, bool with_info) {
  static const char* kw[] = {"updates", "c", nullptr};
  PyObject *py_updates, *py_c = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, with_info ? "O|$O:clip_info" : "O|$O:clip",
                                   const_cast<char**>(kw), &py_updates, &py_c)) {
    return nullptr;
  }
  if (py_c == nullptr) return missing_keyword(with_info ? "clip_info" : "clip", "c");
  double c = 0.0;
  return call_with_updates(
      py_updates, [&] { return is_plain_scalar(py_c); }, [&] { return to_real(py_c, "c", &c); },
      [&](std::span<const UpdateView> u) {
        return from_result(
            preaggregation::clip(u, c), with_info,
            [](preaggregation::ClipResult& r) { return from_stack(std::move(r.clipped)); },
            [](preaggregation::ClipResult& r) {
              return Py_BuildValue("(NNN)", from_stack(std::move(r.clipped)),
                                   from_doubles(r.norms), from_doubles(r.factors));
            });
      });
}

PyObject* arc_call(PyObject* args, PyObject* kwargs, bool with_info) {
  return call_with_f(
      args, kwargs, with_info ? "arc_info" : "arc", with_info ? "O|$O:arc_info" : "O|$O:arc",
      "arc", " with 2f < n", [&](std::span<const UpdateView> u, uint64_t f) {
        return from_result(
            preaggregation::arc(u, f), with_info,
            [](preaggregation::ArcResult& r) { return from_stack(std::move(r.clipped)); },
            [](preaggregation::ArcResult& r) {
              return Py_BuildValue("(NKdNNN)", from_stack(std::move(r.clipped)),
                                   static_cast<unsigned long long>(r.k), r.threshold,
                                   from_indices(r.clipped_indices), from_doubles(r.norms),
                                   from_doubles(r.factors));
            });
      });
}

#define FENRO_DOC_RETURNS_STACK(what)                                                       \
  "Returns:\n"                                                                              \
  "    A new float32 array of shape (" what ", rows, cols).\n\n"

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef g_functions[] = {
    {"nnm", as_method(entry<nnm_call, false>), kFlags,
     "nnm(updates, *, f)\n--\n\n"
     "Nearest-neighbour mixing: each update replaced by the mean of its n - f\n"
     "nearest updates.\n\n"
     "For each i, the n - f updates nearest to x_i (x_i itself included; equal\n"
     "distances go to the lower index) are averaged in ascending index order.\n"
     "nnm_info also returns each update's neighbours.\n\n"
     "Args:\n" FENRO_DOC_UPDATES
     "    f: The number of Byzantine updates tolerated, an integer >= 0 with\n"
     "        2f < n.\n\n" FENRO_DOC_RETURNS_STACK("n")
     "Precision:\n"
     "    Squared distances are float64 sums in row-major order (exactly zero\n"
     "    between identical updates). Each mean adds its neighbours in ascending\n"
     "    index order in float64 from -0.0, multiplies by 1 / (n - f) in float64 and\n"
     "    rounds once to float32.\n\n" FENRO_DOC_RAISES},
    {"bucketing", as_method(entry<bucketing_call, false>), kFlags,
     "bucketing(updates, *, s, seed)\n--\n\n"
     "Bucketing: the means of ceil(n / s) random buckets of s updates.\n\n"
     "The permutation is reproducible in any language. A splitmix64 generator's\n"
     "state starts at seed; each draw adds 0x9E3779B97F4A7C15 to the state, then\n"
     "z = state; z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;\n"
     "z = (z ^ (z >> 27)) * 0x94D049BB133111EB; draw = z ^ (z >> 31) (unsigned\n"
     "64-bit arithmetic). perm starts as 0 .. n-1; for i from n - 1 down to 1,\n"
     "perm[i] is swapped with perm[draw % (i + 1)]. Bucket b holds the updates\n"
     "perm[b*s] .. perm[b*s + s - 1] (the last may hold fewer). bucketing_info\n"
     "also returns perm.\n\n"
     "Args:\n" FENRO_DOC_UPDATES
     "    s: The bucket size, an integer >= 1 (s >= n makes one bucket).\n"
     "    seed: Any integer in 0 .. 2**64 - 1.\n\n" FENRO_DOC_RETURNS_STACK("ceil(n / s)")
     "Precision:\n"
     "    Each mean adds its bucket's updates in bucket order in float64 from -0.0,\n"
     "    multiplies by 1 / count in float64 and rounds once to float32.\n\n"
     FENRO_DOC_RAISES},
    {"clip", as_method(entry<clip_call, false>), kFlags,
     "clip(updates, *, c)\n--\n\n"
     "Static clipping: each update scaled to a norm of at most c.\n\n"
     "x_i * min(1, c / ||x_i||); an update within c is copied unchanged. The input\n"
     "is never modified. clip_info also returns every norm and factor.\n\n"
     "Args:\n" FENRO_DOC_UPDATES
     "    c: The largest norm, finite and > 0.\n\n" FENRO_DOC_RETURNS_STACK("n")
     "Precision:\n"
     "    ||x_i|| is the float64 sum of squares in row-major order and the factor\n"
     "    is computed in float64; it is rounded to float32 and each element\n"
     "    multiplied by it in float32.\n\n" FENRO_DOC_RAISES},
    {"arc", as_method(entry<arc_call, false>), kFlags,
     "arc(updates, *, f)\n--\n\n"
     "Adaptive robust clipping: the k largest updates clipped to the next norm.\n\n"
     "k = floor(2 f (n - f) / n), computed exactly in integers. The k updates of\n"
     "largest norm (equal norms: the lower index counts as larger) are scaled to\n"
     "the norm of the (k + 1)-th largest; the rest pass unchanged. arc_info also\n"
     "returns k, that threshold, the clipped indices, every norm and factor.\n\n"
     "Args:\n" FENRO_DOC_UPDATES
     "    f: The number of Byzantine updates tolerated, an integer >= 0 with\n"
     "        2f < n.\n\n" FENRO_DOC_RETURNS_STACK("n")
     "Precision:\n"
     "    As clip: float64 norms in row-major order, the factor threshold / ||x_i||\n"
     "    in float64, applied in float32.\n\n" FENRO_DOC_RAISES},
    {"nnm_info", as_method(entry<nnm_call, true>), kFlags,
     "nnm_info(updates, *, f)\n--\n\n"
     "nnm, returning (mixed, neighbours): neighbours[i] the n - f indices mixed\n"
     "into update i, ascending."},
    {"bucketing_info", as_method(entry<bucketing_call, true>), kFlags,
     "bucketing_info(updates, *, s, seed)\n--\n\n"
     "bucketing, returning (buckets, permutation)."},
    {"clip_info", as_method(entry<clip_call, true>), kFlags,
     "clip_info(updates, *, c)\n--\n\n"
     "clip, returning (clipped, norms, factors)."},
    {"arc_info", as_method(entry<arc_call, true>), kFlags,
     "arc_info(updates, *, f)\n--\n\n"
     "arc, returning (clipped, k, threshold, clipped_indices, norms, factors),\n"
     "clipped_indices largest norm first."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_preaggregation(PyObject* module) { return add_functions(module, g_functions); }

}  // namespace fenro::python
