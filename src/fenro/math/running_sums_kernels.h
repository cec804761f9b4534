// Per-target loops of the running sums, and the batch forms on a chosen target (tests run
// every target the CPU supports against the whole-update sums of norms.h).
#ifndef FENRO_MATH_RUNNING_SUMS_KERNELS_H_
#define FENRO_MATH_RUNNING_SUMS_KERNELS_H_

#include <cstddef>
#include <span>

#include "fenro/simd/cpu.h"
#include "fenro/update/update.h"

namespace fenro::math::detail {

#if defined(FENRO_X86)
// Four updates of one shape, one per double lane: continues running[k] over coordinates
// [lo, hi) of u[k], with (x - reference)^2 when `reference` is non-null (it then has the same
// shape). lo < hi, so the shape has columns. Lanes never mix, so each keeps the bits of the
// sequential sum.
void continue4_avx2(const UpdateView* u, const UpdateView* reference, size_t lo, size_t hi,
                    double running[4]);
#endif

void continue_sums_of_squares_with(std::span<const UpdateView> updates, size_t lo, size_t hi,
                                   double* running, simd::Target target);
void continue_sums_of_squared_differences_with(std::span<const UpdateView> updates,
                                               const UpdateView& reference, size_t lo, size_t hi,
                                               double* running, simd::Target target);

}  // namespace fenro::math::detail

#endif  // FENRO_MATH_RUNNING_SUMS_KERNELS_H_
