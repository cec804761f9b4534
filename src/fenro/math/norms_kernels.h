// Per-target loops of the batch norms and distances, and the batch forms on a chosen target
// (tests compare every target the CPU runs against the sequential scalar sums).
#ifndef FENRO_MATH_NORMS_KERNELS_H_
#define FENRO_MATH_NORMS_KERNELS_H_

#include <span>

#include "fenro/simd/cpu.h"
#include "fenro/update/update.h"

namespace fenro::math::detail {

#if defined(FENRO_X86)
// Four updates of one shape at once, one per double lane: lane k holds the sequential sum of
// update k (of (x - reference)^2 when `reference` is non-null; it has the same shape), and out[k]
// its square root. Lanes never mix, so each has the bits of the scalar sum.
void sums4_avx2(const UpdateView* u, const UpdateView* reference, double out[4]);
#endif

void l2_norms_with(std::span<const UpdateView> updates, double* out, simd::Target target);
void l2_distances_with(std::span<const UpdateView> updates, const UpdateView& reference,
                       double* out, simd::Target target);

}  // namespace fenro::math::detail

#endif  // FENRO_MATH_NORMS_KERNELS_H_
