// The two float64 passes that the iterative rules (geometric median, centered clipping) make
// over the updates each step, on in-memory updates whole or held in pieces, so that one copy of
// each rule's iteration serves both with the same bits.
#ifndef FENRO_AGGREGATORS_UPDATE_ACCESS_H_
#define FENRO_AGGREGATORS_UPDATE_ACCESS_H_

#include <cstddef>
#include <span>

#include "fenro/math/means.h"
#include "fenro/math/norms.h"
#include "fenro/math/running_sums.h"
#include "fenro/update/pieces.h"
#include "fenro/update/update.h"

namespace fenro::aggregators::detail {

// Updates of one shape, whole: size() elements each; weighted_sum is math::weighted_sum_f64
// (base may be null) and distances math::l2_distances_to_point_f64.
struct WholeUpdates {
  std::span<const UpdateView> updates;
  size_t count() const { return updates.size(); }
  size_t size() const { return updates[0].size(); }
  void weighted_sum(std::span<const double> coeffs, const double* base, double* out) const {
    math::weighted_sum_f64(updates, coeffs, base, out);
  }
  void distances(const double* point, double* out) const {
    math::l2_distances_to_point_f64(updates, point, out);
  }
};

// Updates held in pieces, with the bits of WholeUpdates on the concatenated updates: the
// weighted sums per piece (they are per element), the distances as running sums continued
// across the pieces.
struct PiecedUpdates {
  const update::Pieces& pieces;
  size_t count() const { return pieces.count(); }
  size_t size() const { return pieces.size(); }
  void weighted_sum(std::span<const double> coeffs, const double* base, double* out) const {
    for (size_t p = 0; p < pieces.piece_count(); ++p) {
      math::weighted_sum_f64(pieces.piece(p), coeffs, base ? base + pieces.offset(p) : nullptr,
                             out + pieces.offset(p));
    }
  }
  void distances(const double* point, double* out) const {
    math::l2_distances_to_point_f64(pieces, point, out);
  }
};

}  // namespace fenro::aggregators::detail

#endif  // FENRO_AGGREGATORS_UPDATE_ACCESS_H_
