// Pairwise distances between updates in float64, in a fixed order.
#ifndef FENRO_MATH_DISTANCES_H_
#define FENRO_MATH_DISTANCES_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "fenro/error/result.h"

#include "fenro/update/update.h"

namespace fenro::math {

// The squared distances of every pair of n updates of one shape (the caller checks the shape),
// row-major n x n. Entry (i, j) is the sum over elements in row-major order, from -0.0, of
// (double(x_i) - double(x_j))^2, each square rounded and added in turn: the square of
// l2_distance_f64(x_i, x_j) before its root, bit for bit, on every SIMD target and thread count.
// The table is symmetric; the diagonal and every pair of identical updates are exactly +0.0
// (-0.0 for updates without elements).
// Work about n^2 / 2 * rows * cols multiply-adds; extra memory the table plus, per worker, one
// element chunk of all n updates in float64 (about 512 KB), so each update is read from memory
// once per worker.
std::vector<double> pairwise_sq_distances_f64(std::span<const UpdateView> updates);

// For each update i of n of one shape (1 <= k <= n), the k updates nearest to it under the order
// (squared distance exactly as pairwise_sq_distances_f64 computes it, index): ties go to the
// lower index, and an update is at distance zero from itself. Row i of the result, at
// [i * k, (i + 1) * k), lists them in ascending index order.
// The ranking is exact while most distances are never computed exactly: a float64 Gram table
// (one fused multiply-add per pair and element, against three operations for a distance)
// places every candidate within a proven rounding bound, and only candidates whose place that
// bound cannot settle get their exact distance. The worst case (many candidates tied at the
// boundary, e.g. all updates equal) costs the full pairwise table.
// nullopt when some value is NaN or infinite (the caller reports it by validation).
std::optional<std::vector<uint32_t>> nearest_f64(std::span<const UpdateView> updates, size_t k);

// The exact squared distance of each listed pair (i, j), in the order listed.
using ExactPairs = std::function<Result<std::vector<double>>(
    std::span<const std::pair<uint32_t, uint32_t>>)>;

// The ranking of nearest_f64 from bounds: for each of n items, the k nearest (1 <= k <= n) under
// (exact squared distance, index), given lo <= exact <= hi for every pair (row-major n x n; the
// diagonal 0 in both, an item being at distance zero from itself). Candidates the bounds place
// on their own need no exact value; the others are asked of `exact` in one call (none when the
// bounds settle every row). Row i of the result, at [i * k, (i + 1) * k), in ascending index
// order. Fails only when `exact` does.
Result<std::vector<uint32_t>> nearest_from_bounds(size_t n, size_t k, std::span<const double> lo,
                                                  std::span<const double> hi,
                                                  const ExactPairs& exact);

}  // namespace fenro::math

#endif  // FENRO_MATH_DISTANCES_H_
