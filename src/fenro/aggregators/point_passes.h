// The float64 points of the iterative rules (the geometric median's iterates, centered
// clipping's center) and the passes each step makes over the updates with them, wherever the
// updates and the points are held: in this process (update_access.h), or cut into coordinate
// ranges on other processes (pipeline/sharded_points.h). The iterations are written once, over
// this interface, so every holder takes the same steps and gets the same bits.
#ifndef FENRO_AGGREGATORS_POINT_PASSES_H_
#define FENRO_AGGREGATORS_POINT_PASSES_H_

#include <cstddef>
#include <span>

#include "fenro/error/result.h"

namespace fenro::aggregators {

// Points are named by slot (0, 1, 2, ...), each of the update's size, created on first use.
// A pass fails only when the holder does (error::SourceFailed: a lost worker).
class PointPasses {
 public:
  virtual ~PointPasses() = default;

  // The number of updates the passes read.
  virtual size_t count() const = 0;
  // Per element t: s = the sum over updates k in index order, from +0.0, of
  // coeffs[k] * (double(x_k[t]) - b[t]) (coefficients equal to zero skipped; see
  // math::weighted_sum_f64), where b is point `slot` when `step`, else zero. Then point `slot`
  // becomes s / divisor (not `step`) or b[t] + s / divisor (`step`).
  virtual Status weighted(size_t slot, std::span<const double> coeffs, double divisor,
                          bool step) = 0;
  // out[k] = ||x_k - point `slot`||: the float64 sum of the squared differences from -0.0 in
  // row-major order, one element at a time, then its square root
  // (math::l2_distances_to_point_f64's bits).
  virtual Status distances(size_t slot, double* out) = 0;
};

}  // namespace fenro::aggregators

#endif  // FENRO_AGGREGATORS_POINT_PASSES_H_
