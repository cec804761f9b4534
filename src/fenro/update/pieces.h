// Updates held in pieces: each update is the concatenation, in a fixed order, of several
// matrices (the tensors of a model's state, say), none of which needs to lie next to another in
// memory.
//
// Update i's elements, in coordinate order, are piece 0's elements in row-major order, then
// piece 1's, and so on; a rule run on the pieces gives the bits it gives on that concatenated
// update, of one row. Every pass over the values walks the pieces in that order, so a sum that
// runs in coordinate order (a norm, a distance) adds the same terms in the same order.
#ifndef FENRO_UPDATE_PIECES_H_
#define FENRO_UPDATE_PIECES_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fenro/error/result.h"
#include "fenro/update/update.h"

namespace fenro::update {

class Pieces {
 public:
  // `views` lists the pieces piece by piece: piece p of update i is views[p * count + i].
  // Requires views.size() to be a multiple of count (count may be 0 only with no views). The
  // views must stay valid and unchanged for this object's life; shapes are checked by
  // validate_pieces, not here.
  Pieces(std::span<const UpdateView> views, size_t count);

  size_t count() const { return count_; }
  size_t piece_count() const { return count_ == 0 ? 0 : views_.size() / count_; }
  // Piece p of every update, in update order.
  std::span<const UpdateView> piece(size_t p) const {
    return views_.subspan(p * count_, count_);
  }
  // The first coordinate of piece p within the concatenated update, and that update's size
  // (both from update 0's pieces).
  size_t offset(size_t p) const { return offsets_[p]; }
  size_t size() const { return offsets_.back(); }
  // The piece holding coordinate c < size(): the last piece starting at or before c.
  size_t piece_at(size_t c) const;

  // Calls f(view of update i's piece, lo, hi, at) for every piece that overlaps coordinates
  // [lo, hi) of update i, in coordinate order: [lo, hi) of the piece's own row-major numbering,
  // and `at`, the position of its first element counted from `lo`.
  template <class F>
  void for_each_part(size_t i, size_t lo, size_t hi, F&& f) const {
    if (lo >= hi) return;
    for (size_t p = piece_at(lo), t = lo; t < hi && p < piece_count(); ++p) {
      const size_t base = offsets_[p], end = offsets_[p + 1];
      const size_t a = t - base, b = (hi < end ? hi : end) - base;
      if (b > a) f(views_[p * count_ + i], a, b, t - lo);
      t = base + b;
    }
  }

 private:
  std::span<const UpdateView> views_;
  size_t count_;
  std::vector<size_t> offsets_;  // piece_count() + 1 entries
};

// The checks of validate_pieces that read no values: EmptyUpdates without updates, then
// DimensionMismatch for a piece whose views do not all share one shape.
Status check_piece_shapes(const Pieces& pieces);

// The update validation of the concatenated updates (validation.h), and every update's largest
// finite magnitude from the same pass: no updates gives EmptyUpdates; a piece whose views do
// not all share one shape gives DimensionMismatch; then the first NaN or infinity in update
// order and coordinate order, as NonFiniteValue with row 0 and the coordinate as the column.
// On success, max_abs[i] (room for count() values) holds update i's largest |x| (+0.0 when it
// is all zeros or empty). Runs on the worker pool.
Status validate_pieces(const Pieces& pieces, float* max_abs);

}  // namespace fenro::update

#endif  // FENRO_UPDATE_PIECES_H_
