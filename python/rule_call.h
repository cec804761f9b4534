// The common shape of a stateless function of fenro._robust: its `updates` argument (a
// sequence of two-dimensional float32 arrays or one three-dimensional array), its other
// arguments, the library call and the result.
#ifndef FENRO_PYTHON_RULE_CALL_H_
#define FENRO_PYTHON_RULE_CALL_H_

#include <Python.h>

#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "args.h"
#include "errors.h"
#include "fenro/error/result.h"
#include "fenro/update/update.h"
#include "numpy_api.h"
#include "update_list.h"

namespace fenro::python {

// Converts `updates` (UpdateList::convert_list_or_stack), then the other arguments with
// `convert_others()`, reads the views, and returns `run(views)`. The arrays are read in place
// when `others_run_no_python()` (asked only once NumPy is bound) says that converting the other
// arguments cannot run the caller's code; otherwise each is copied as it passes its checks.
// Either way the views are read after every conversion and nothing runs Python code after that.
template <class Plain, class Convert, class Run>
PyObject* call_with_updates(PyObject* py_updates, Plain&& others_run_no_python,
                            Convert&& convert_others, Run&& run) {
  const bool with_numpy = !UpdateList::needs_no_numpy(py_updates);
  if (with_numpy && !numpy::ensure_loaded()) return nullptr;
  const bool in_place = with_numpy && others_run_no_python();
  UpdateList updates;
  if (!updates.convert_list_or_stack(py_updates, "updates", !in_place)) return nullptr;
  if (!convert_others()) return nullptr;
  std::span<const UpdateView> views;
  if (!updates.views("updates", &views)) return nullptr;
  // A result too large for memory fails now, before the rule reads every claimed element.
  if (!views.empty()) Matrix::ensure_allocatable(views[0].rows, views[0].cols);
  return run(views);
}

// The aggregate as a new float32 array, or the library's error as ValueError.
inline PyObject* from_result(Result<Matrix> result) {
  if (!result.ok()) return raise_fenro_error(result.error());
  return from_matrix(std::move(result).value());
}

// A function's result: the library's error as ValueError; else `plain(value)` (the array
// alone) or, for the function's _info variant, `info(value)` (a tuple of the array and the
// data the info object carries).
template <class T, class Plain, class Info>
PyObject* from_result(Result<T> result, bool with_info, Plain&& plain, Info&& info) {
  if (!result.ok()) return raise_fenro_error(result.error());
  T& value = result.value();
  return with_info ? info(value) : plain(value);
}

// A function (updates, *, f): parses with `format`, converts f in [0, 2^64) (its messages
// name `rule` and `condition`), and returns `run(views, f)`. `fn` names it in the TypeError of
// a missing f.
template <class Run>
PyObject* call_with_f(PyObject* args, PyObject* kwargs, const char* fn, const char* format,
                      const char* rule, const char* condition, Run&& run) {
  static const char* kw[] = {"updates", "f", nullptr};
  PyObject *py_updates, *py_f = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kw), &py_updates,
                                   &py_f)) {
    return nullptr;
  }
  if (py_f == nullptr) return missing_keyword(fn, "f");
  uint64_t f = 0;
  return call_with_updates(
      py_updates, [&] { return is_plain_scalar(py_f); },
      [&] { return to_count(py_f, "f", {rule, 0, condition}, &f); },
      [&](std::span<const UpdateView> u) { return run(u, f); });
}

// A function (updates) parsed with `format`: returns `run(views)`.
template <class Run>
PyObject* call_with_updates_only(PyObject* args, PyObject* kwargs, const char* format, Run&& run) {
  static const char* kw[] = {"updates", nullptr};
  PyObject* py_updates;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kw), &py_updates)) {
    return nullptr;
  }
  return call_with_updates(py_updates, [] { return true; }, [] { return true; }, run);
}

// FedAvg's arguments (updates, weights=None) parsed with `format`: returns `run(views, weights)`
// with the weights converted to float32 (nullopt when absent).
template <class Run>
PyObject* call_with_weights(PyObject* args, PyObject* kwargs, const char* format, Run&& run) {
  static const char* kw[] = {"updates", "weights", nullptr};
  PyObject *py_updates, *py_weights = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kw), &py_updates,
                                   &py_weights)) {
    return nullptr;
  }
  std::optional<std::vector<float>> weights;
  return call_with_updates(
      py_updates, [&] { return conversion_runs_no_python(nullptr, py_weights); },
      [&] { return to_f32_list(py_weights, "weights", &weights, true); },
      [&](std::span<const UpdateView> u) { return run(u, weights); });
}

// The trimmed mean's arguments (updates, *, trim) parsed with `format`: returns
// `run(views, trim)`. `fn` names the function in the TypeError of a missing trim.
template <class Run>
PyObject* call_with_trim(PyObject* args, PyObject* kwargs, const char* fn, const char* format,
                         Run&& run) {
  static const char* kw[] = {"updates", "trim", nullptr};
  PyObject *py_updates, *py_trim = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kw), &py_updates,
                                   &py_trim)) {
    return nullptr;
  }
  if (py_trim == nullptr) return missing_keyword(fn, "trim");
  float trim = 0.0f;
  return call_with_updates(
      py_updates, [&] { return is_plain_scalar(py_trim); },
      [&] { return to_f32(py_trim, "trim", &trim, true); },
      [&](std::span<const UpdateView> u) { return run(u, trim); });
}

// The module-level entry point of a function and of its _info variant, both implemented by
// `Call(args, kwargs, with_info)`.
template <PyObject* (*Call)(PyObject*, PyObject*, bool), bool kInfo>
PyObject* entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return Call(args, kwargs, kInfo); });
}

}  // namespace fenro::python

#endif  // FENRO_PYTHON_RULE_CALL_H_
