#include "fenro/update/pieces.h"

#include <algorithm>
#include <cassert>

#include "fenro/update/range_scan.h"

namespace fenro::update {

Pieces::Pieces(std::span<const UpdateView> views, size_t count) : views_(views), count_(count) {
  assert(count == 0 ? views.empty() : views.size() % count == 0);
  const size_t k = piece_count();
  offsets_.resize(k + 1, 0);
  for (size_t p = 0; p < k; ++p) offsets_[p + 1] = offsets_[p] + views_[p * count_].size();
}

size_t Pieces::piece_at(size_t c) const {
  const auto it = std::upper_bound(offsets_.begin(), offsets_.end() - 1, c);
  return static_cast<size_t>(it - offsets_.begin()) - 1;
}

Status check_piece_shapes(const Pieces& pieces) {
  if (pieces.count() == 0) return error::EmptyUpdates{};
  for (size_t p = 0; p < pieces.piece_count(); ++p) {
    const std::span<const UpdateView> piece = pieces.piece(p);
    for (const UpdateView& v : piece) {
      if (!v.same_shape(piece[0])) return error::DimensionMismatch{};
    }
  }
  return {};
}

Status validate_pieces(const Pieces& pieces, float* max_abs) {
  FENRO_RETURN_IF_ERROR(check_piece_shapes(pieces));
  const size_t n = pieces.count();
  std::vector<RangeScan> whole(n), part(n);
  for (size_t p = 0; p < pieces.piece_count(); ++p) {
    const std::span<const UpdateView> piece = pieces.piece(p);
    scan_ranges(piece, 0, piece[0].size(), part.data());
    for (size_t i = 0; i < n; ++i) append_scan(whole[i], part[i], pieces.offset(p));
  }
  for (size_t i = 0; i < n; ++i) {
    FENRO_RETURN_IF_ERROR(non_finite_status(whole[i], i, pieces.size()));
    max_abs[i] = whole[i].max_abs;
  }
  return {};
}

}  // namespace fenro::update
