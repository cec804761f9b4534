// The iterative rules' points over in-memory updates, whole or held in pieces
// (aggregators::PointPasses), so that one copy of each rule's iteration serves both, and the
// sharded round, with the same bits.
#ifndef FENRO_AGGREGATORS_UPDATE_ACCESS_H_
#define FENRO_AGGREGATORS_UPDATE_ACCESS_H_

#include <cstddef>
#include <span>
#include <vector>

#include "fenro/aggregators/point_passes.h"
#include "fenro/math/means.h"
#include "fenro/math/norms.h"
#include "fenro/math/running_sums.h"
#include "fenro/parallel/pool.h"
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

// The points in this process's memory, over a WholeUpdates or a PiecedUpdates. A step keeps
// one more float64 vector of the update's size as scratch.
template <class Access>
class LocalPoints final : public PointPasses {
 public:
  // Elements per task of the element-wise loops.
  static constexpr size_t kElementGrain = size_t{1} << 16;

  explicit LocalPoints(Access access) : access_(access) {}

  // Point `slot`, created (zeros) when new.
  std::vector<double>& point(size_t slot) {
    if (slot >= points_.size()) points_.resize(slot + 1);
    if (points_[slot].empty()) points_[slot].resize(access_.size());
    return points_[slot];
  }

  size_t count() const override { return access_.count(); }
  Status weighted(size_t slot, std::span<const double> coeffs, double divisor,
                  bool step) override {
    std::vector<double>& p = point(slot);
    double* out = p.data();
    if (!step) {
      access_.weighted_sum(coeffs, nullptr, out);
      parallel::parallel_for(p.size(), kElementGrain, [&](size_t b, size_t e) {
        for (size_t t = b; t < e; ++t) out[t] /= divisor;
      });
      return {};
    }
    scratch_.resize(p.size());
    const double* sum = scratch_.data();
    access_.weighted_sum(coeffs, out, scratch_.data());
    parallel::parallel_for(p.size(), kElementGrain, [&](size_t b, size_t e) {
      for (size_t t = b; t < e; ++t) out[t] = out[t] + sum[t] / divisor;
    });
    return {};
  }

  // Point `slot` rounded to float32 into `out` (one value per element; the same bits on every
  // thread count, each element being rounded on its own).
  void round_to(size_t slot, float* out) {
    const double* p = point(slot).data();
    parallel::parallel_for(point(slot).size(), kElementGrain, [&](size_t b, size_t e) {
      for (size_t t = b; t < e; ++t) out[t] = static_cast<float>(p[t]);
    });
  }
  Status distances(size_t slot, double* out) override {
    access_.distances(point(slot).data(), out);
    return {};
  }

 private:
  Access access_;
  std::vector<std::vector<double>> points_;
  std::vector<double> scratch_;
};

}  // namespace fenro::aggregators::detail

#endif  // FENRO_AGGREGATORS_UPDATE_ACCESS_H_
