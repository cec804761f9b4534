// Per-target loops of the batch norms and distances, and the batch forms on a chosen target
// (tests compare every target the CPU runs against the sequential scalar sums).
#ifndef FENRO_MATH_NORMS_KERNELS_H_
#define FENRO_MATH_NORMS_KERNELS_H_

#include <cstddef>
#include <span>

#include "fenro/simd/cpu.h"
#include "fenro/update/update.h"

namespace fenro::math::detail {

// Updates measured together by one batch call.
inline constexpr size_t kBatch = 8;

#if defined(FENRO_X86)
// kBatch updates of one shape at once, one per double lane: lane k holds the sequential sum of
// update k (of (x - reference)^2 when `reference` is non-null; it has the same shape), and out[k]
// its square root. Lanes never mix, so each has the bits of the scalar sum.
void sums_avx2(const UpdateView* u, const UpdateView* reference, double out[kBatch]);
// The same with a dense row-major float64 point in place of the float32 reference.
void point_sums_avx2(const UpdateView* u, const double* point, double out[kBatch]);
#endif

void l2_norms_with(std::span<const UpdateView> updates, double* out, simd::Target target);
void l2_distances_with(std::span<const UpdateView> updates, const UpdateView& reference,
                       double* out, simd::Target target);
void l2_distances_to_point_with(std::span<const UpdateView> updates, const double* point,
                                double* out, simd::Target target);

}  // namespace fenro::math::detail

#endif  // FENRO_MATH_NORMS_KERNELS_H_
