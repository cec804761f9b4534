#include "fenro/aggregators/krum_rule.h"

#include <algorithm>
#include <cstring>

#include "fenro/aggregators/fedavg.h"
#include "fenro/aggregators/krum.h"
#include "fenro/update/validation.h"

namespace fenro::aggregators {

Result<KrumResult> krum(std::span<const UpdateView> updates, uint64_t f) {
  return krum(updates, f, update::Validation::of(updates));
}

Result<KrumResult> krum(std::span<const UpdateView> updates, uint64_t f,
                        update::Validation validation) {
  FENRO_RETURN_IF_ERROR(validation.complete());
  const auto selected = krum_select(updates, f);
  if (!selected) return error::InsufficientQuorum{krum_quorum(f), updates.size()};
  const UpdateView& u = updates[*selected];
  KrumResult result{Matrix(u.rows, u.cols), {*selected}};
  for (size_t r = 0; r < u.rows; ++r) {
    if (u.cols) std::memcpy(result.aggregate.data() + r * u.cols, u.row(r), u.cols * sizeof(float));
  }
  return result;
}

Result<KrumResult> multi_krum(std::span<const UpdateView> updates, uint64_t f,
                              std::optional<uint64_t> m) {
  return multi_krum(updates, f, m, update::Validation::of(updates));
}

Result<KrumResult> multi_krum(std::span<const UpdateView> updates, uint64_t f,
                              std::optional<uint64_t> m, update::Validation validation) {
  FENRO_RETURN_IF_ERROR(validation.complete());
  const uint64_t n = updates.size(), need = krum_quorum(f);
  if (n < need) return error::InsufficientQuorum{need, n};
  auto count = multi_krum_count(n, f, m);
  if (!count.ok()) return std::move(count).error();
  auto selected = multi_krum_select(updates, f, *count);
  if (!selected) return error::InsufficientQuorum{need, n};
  std::vector<UpdateView> chosen;
  chosen.reserve(selected->size());
  for (size_t i : *selected) chosen.push_back(updates[i]);
  return KrumResult{mean_unchecked(chosen), std::move(*selected)};
}

Result<std::vector<size_t>> krum_selection(const update::Pieces& pieces, uint64_t f) {
  std::vector<float> max_abs(pieces.count());
  FENRO_RETURN_IF_ERROR(update::validate_pieces(pieces, max_abs.data()));
  const auto selected = krum_select(pieces, max_abs, f);
  if (!selected) return error::InsufficientQuorum{krum_quorum(f), pieces.count()};
  return std::vector<size_t>{*selected};
}

Result<std::vector<size_t>> multi_krum_selection(const update::Pieces& pieces, uint64_t f,
                                                 std::optional<uint64_t> m) {
  std::vector<float> max_abs(pieces.count());
  FENRO_RETURN_IF_ERROR(update::validate_pieces(pieces, max_abs.data()));
  const uint64_t n = pieces.count(), need = krum_quorum(f);
  if (n < need) return error::InsufficientQuorum{need, n};
  auto count = multi_krum_count(n, f, m);
  if (!count.ok()) return std::move(count).error();
  auto selected = multi_krum_select(pieces, max_abs, f, *count);
  if (!selected) return error::InsufficientQuorum{need, n};
  return std::move(*selected);
}

}  // namespace fenro::aggregators
