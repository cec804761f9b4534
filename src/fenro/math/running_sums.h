// Norms and distances computed piece by piece: a running double sum continued over one
// coordinate range after another.
//
// A norm or a distance is one sequential double sum over an update's elements in row-major
// order, starting at -0.0 (see norms.h). Cut the coordinates into consecutive ranges
// [c0, c1), [c1, c2), ... and continue the same running value over each range in turn: every
// element is still added, one at a time and in order, to the value that the elements before it
// left, so the final value has the bits of the whole sum wherever the cuts fall. Whoever holds
// one range of an update (a worker holding a coordinate shard) computes its piece as soon as
// the running value of the range before it arrives, and std::sqrt of the last piece's value is
// the norm or distance.
//
// Vectorised across updates (several running sums side by side), never within one sum.
//
// Where a round needs only a comparison (a norm within its bound, a distance below 1), the
// pieces can instead be summed independently, each from kRunningSumStart, and added together:
// bounds_of_reordered_sum then gives an interval that holds the sequential sum, and when the
// threshold lies outside it, the comparison has the sequential sum's answer.
#ifndef FENRO_MATH_RUNNING_SUMS_H_
#define FENRO_MATH_RUNNING_SUMS_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "fenro/update/pieces.h"
#include "fenro/update/update.h"

namespace fenro::math {

// The value every running sum starts from, before coordinate 0: negative zero, as the
// whole-update sums of norms.h.
inline constexpr double kRunningSumStart = -0.0;

// For every update k, adds double(x)^2 to running[k] for each element x at coordinates
// [lo, hi) of updates[k] (coordinate = row * cols + col), one element at a time in coordinate
// order. Requires lo <= hi <= updates[k].size() for every k; shapes may differ. Runs on the
// worker pool; the result never depends on the thread count or the SIMD target.
void continue_sums_of_squares(std::span<const UpdateView> updates, size_t lo, size_t hi,
                              double* running);

// The same with (double(x) - double(y))^2, where y is the element of `reference` at the same
// coordinate (its own row-major numbering). Requires hi <= reference.size() as well.
void continue_sums_of_squared_differences(std::span<const UpdateView> updates,
                                          const UpdateView& reference, size_t lo, size_t hi,
                                          double* running);

// The same with (double(x) - y)^2, where y is the double at the same coordinate of `point` (the
// update's row-major numbering, point[0] for coordinate 0). Requires hi <= updates[k].size()
// for every k, and `point` of that many elements.
void continue_sums_of_squared_differences_to_point(std::span<const UpdateView> updates,
                                                   const double* point, size_t lo, size_t hi,
                                                   double* running);

// The L2 norm of every update held in pieces (update/pieces.h), into out[i]: the running sum
// of squares continued piece by piece from kRunningSumStart, so each has the bits of
// l2_norms_f64 (norms.h) on the concatenated update.
void l2_norms_f64(const update::Pieces& pieces, double* out);

// The L2 distance of every update held in pieces to `reference`, one view per piece of the
// pieces' shapes, into out[i]: the bits of l2_distances_f64 on the concatenated updates and
// reference. Requires reference.size() == pieces.piece_count() and matching shapes.
void l2_distances_f64(const update::Pieces& pieces, std::span<const UpdateView> reference,
                      double* out);

// The distance of every update held in pieces to a float64 point of the concatenated update's
// size, into out[i]: the bits of l2_distances_to_point_f64 (norms.h) on the concatenated
// updates, one running sum continued across the pieces.
void l2_distances_to_point_f64(const update::Pieces& pieces, const double* point, double* out);

// An interval that holds the sequential sum of some non-negative terms.
struct SumBounds {
  double lo;
  double hi;
};

// Given `sum`, the float64 sum of `terms` non-negative values (squares, as in every norm and
// distance) added in any order or grouping, returns bounds on their sum in any other order, in
// particular on the sequential running sum: lo <= sequential <= hi. Since std::sqrt is
// correctly rounded, hence monotone, sqrt(lo) <= sqrt(sequential) <= sqrt(hi) holds as well.
//  - A sum that is NaN or infinite, or below the smallest normal double, or of at most one term,
//    is the same in every order (for a zero, up to its sign): lo = hi = sum.
//  - Otherwise hi - lo is at most (6 * terms + 4) * 2^-53 * sum; above 2^43 terms the bounds are
//    [0, +inf].
SumBounds bounds_of_reordered_sum(double sum, uint64_t terms);

}  // namespace fenro::math

#endif  // FENRO_MATH_RUNNING_SUMS_H_
