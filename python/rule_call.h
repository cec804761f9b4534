// The common shape of a stateless function of fenro._robust: its `updates` argument (a
// sequence of two-dimensional float32 arrays or one three-dimensional array), its other
// arguments, the library call and the result.
#ifndef FENRO_PYTHON_RULE_CALL_H_
#define FENRO_PYTHON_RULE_CALL_H_

#include <Python.h>

#include <span>
#include <utility>

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
  return run(views);
}

// The aggregate as a new float32 array, or the library's error as ValueError.
inline PyObject* from_result(Result<Matrix> result) {
  if (!result.ok()) return raise_fenro_error(result.error());
  return from_matrix(std::move(result).value());
}

}  // namespace fenro::python

#endif  // FENRO_PYTHON_RULE_CALL_H_
