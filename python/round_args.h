// The arguments of one aggregation round, `updates`, `client_ids` and `weights`, converted the
// way ByzantineAggregator.aggregate converts them. Every function that runs a round of a
// fenro._core aggregator goes through here, so they accept and refuse the same values with the
// same messages.
#ifndef FENRO_PYTHON_ROUND_ARGS_H_
#define FENRO_PYTHON_ROUND_ARGS_H_

#include <Python.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fenro/update/update.h"
#include "update_list.h"

namespace fenro::python {

class RoundArgs {
 public:
  // Binds NumPy when `updates` may carry an array, then converts `updates`, `client_ids` and
  // `weights` (either may be nullptr or None) in that order and reads the views (update_list.h
  // for when the arrays are read in place). Returns false with a Python exception set on the
  // first failure. May throw std::bad_alloc.
  bool convert(PyObject* updates, PyObject* client_ids, PyObject* weights);

  // Valid after a successful convert(), while this object lives.
  std::span<const UpdateView> updates() const { return views_; }
  std::optional<std::span<const std::string_view>> client_ids() const;
  std::optional<std::span<const float>> weights() const;

 private:
  UpdateList updates_;
  std::span<const UpdateView> views_;
  std::optional<std::vector<std::string>> ids_;
  std::vector<std::string_view> id_views_;
  std::optional<std::vector<float>> weights_;
};

}  // namespace fenro::python

#endif  // FENRO_PYTHON_ROUND_ARGS_H_
