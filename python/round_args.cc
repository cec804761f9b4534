#include "round_args.h"

#include "args.h"
#include "numpy_api.h"

namespace fenro::python {

bool RoundArgs::convert(PyObject* updates, PyObject* client_ids, PyObject* weights) {
  // NumPy is bound on the first call that may carry an array.
  if (!UpdateList::needs_no_numpy(updates) && !numpy::ensure_loaded()) return false;
  // Reading arrays in place is safe only when none of the caller's code can run between their
  // checks and the end of the round; otherwise every array is copied as it is checked.
  const bool in_place =
      !UpdateList::needs_no_numpy(updates) && conversion_runs_no_python(client_ids, weights);
  if (!updates_.convert(updates, "updates", !in_place) ||
      !to_text_list(client_ids, "client_ids", &ids_) ||
      !to_f32_list(weights, "weights", &weights_)) {
    return false;
  }
  // Pointers, shapes and strides are read only now, after every argument is converted.
  if (!updates_.views("updates", &views_)) return false;
  if (ids_) id_views_.assign(ids_->begin(), ids_->end());
  return true;
}

std::optional<std::span<const std::string_view>> RoundArgs::client_ids() const {
  if (!ids_) return std::nullopt;
  return std::span<const std::string_view>(id_views_);
}

std::optional<std::span<const float>> RoundArgs::weights() const {
  if (!weights_) return std::nullopt;
  return std::span<const float>(*weights_);
}

}  // namespace fenro::python
