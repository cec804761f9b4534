// Nearest-neighbour mixing.
#ifndef FENRO_PREAGGREGATION_NNM_H_
#define FENRO_PREAGGREGATION_NNM_H_

#include <cstdint>
#include <span>
#include <vector>

#include "fenro/error/result.h"
#include "fenro/simd/cpu.h"
#include "fenro/update/update.h"
#include "fenro/update/update_stack.h"

namespace fenro::preaggregation {

struct NnmResult {
  UpdateStack mixed;  // n updates: mixed update i replaces update i
  // The n - f neighbours of update i at [i * (n - f), (i + 1) * (n - f)), ascending.
  std::vector<uint32_t> neighbours;
};

// For each update i, the mean of the n - f updates nearest to it (itself included, at distance
// zero): neighbours ranked by (squared distance, client index), so ties go to the lower index.
// Distances are math::pairwise_sq_distances_f64 (row-major sequential float64 sums, exactly
// zero between identical updates). Each mean sums its neighbours in ascending client order in
// float64 from -0.0, multiplies by 1 / (n - f) in float64 and rounds to float32
// (math::average_lists_f64).
// Checks, first failure wins: the shared update validation (validation.h); then 2f < n, else
// ByzantineCountOutOfRange ("f = 5 is out of range: nnm needs 2f < n (n = 10)").
// Extra memory: the output, the n x n distance table and per-worker chunk buffers; each input
// is read from memory once per worker for the distances and once for the mixing.
Result<NnmResult> nnm(std::span<const UpdateView> updates, uint64_t f);

namespace detail {
// nnm on a chosen SIMD target (which the CPU must support).
Result<NnmResult> nnm_with(std::span<const UpdateView> updates, uint64_t f, simd::Target target);
}  // namespace detail

}  // namespace fenro::preaggregation

#endif  // FENRO_PREAGGREGATION_NNM_H_
