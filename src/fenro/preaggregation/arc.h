// Adaptive robust clipping.
#ifndef FENRO_PREAGGREGATION_ARC_H_
#define FENRO_PREAGGREGATION_ARC_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fenro/error/result.h"
#include "fenro/update/update.h"
#include "fenro/update/update_stack.h"

namespace fenro::preaggregation {

// ARC's decision, from the norms alone.
struct ArcDecision {
  uint64_t k = 0;                       // floor(2 f (n - f) / n) updates clipped
  double threshold = 0.0;               // the norm of the (k + 1)-th largest update
  std::vector<size_t> clipped_indices;  // the k clipped updates, largest norm first
  std::vector<double> norms;            // ||x_i||, l2_norms_f64
  std::vector<double> factors;          // threshold / ||x_i|| for the clipped (at most 1), else 1
};

struct ArcResult : ArcDecision {
  UpdateStack clipped;  // n updates
};

// k = floor(2 f (n - f) / n), computed exactly in integers. The updates are ranked by norm,
// largest first (ties to the lower index); the first k are scaled to the norm of the one ranked
// k + 1, the rest pass unchanged. Scaling is clip's: factor threshold / ||x_i|| in float64,
// applied in float32 (a factor of exactly 1, an update at the threshold, copies it).
// Checks, first failure wins: the shared update validation (validation.h); then 2f < n, else
// ByzantineCountOutOfRange ("f = 5 is out of range: arc needs 2f < n (n = 10)").
Result<ArcResult> arc(std::span<const UpdateView> updates, uint64_t f);

// ARC's decision from the norms of n updates already validated: the count check (2f < n, else
// ByzantineCountOutOfRange), then k, the threshold, the clipped indices and the factors. Every
// form of ARC (whole updates, pieces) takes it, so they rank and scale alike.
Result<ArcDecision> arc_decide(std::vector<double> norms, uint64_t f);

}  // namespace fenro::preaggregation

#endif  // FENRO_PREAGGREGATION_ARC_H_
