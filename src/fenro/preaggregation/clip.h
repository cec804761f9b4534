// Norm clipping.
#ifndef FENRO_PREAGGREGATION_CLIP_H_
#define FENRO_PREAGGREGATION_CLIP_H_

#include <span>
#include <vector>

#include "fenro/error/result.h"
#include "fenro/update/update.h"
#include "fenro/update/update_stack.h"

namespace fenro::preaggregation {

struct ClipResult {
  UpdateStack clipped;          // n updates
  std::vector<double> norms;    // ||x_i||, l2_norms_f64
  std::vector<double> factors;  // min(1, c / ||x_i||) in float64; 1 for updates within c
};

// x_i * min(1, c / ||x_i||): the factor is computed in float64 and applied in float32 (each
// element times float32(factor), rounded once); an update within c is copied unchanged. The
// input is never modified. Norms are l2_norms_f64 (row-major sequential float64 sums).
// Checks, first failure wins: the shared update validation (validation.h); then c finite and > 0
// ("c = 0 is out of range: clip needs a finite c > 0").
Result<ClipResult> clip(std::span<const UpdateView> updates, double c);

namespace detail {
// Update i of the result is updates[i] with every element times float32(factors[i]) in float32;
// a factor of exactly 1 copies the update. Runs on the worker pool.
UpdateStack scale_updates(std::span<const UpdateView> updates, std::span<const double> factors);
}  // namespace detail

}  // namespace fenro::preaggregation

#endif  // FENRO_PREAGGREGATION_CLIP_H_
