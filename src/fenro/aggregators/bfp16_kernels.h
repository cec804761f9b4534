// Per-target inner loops of the BFP16 encoder, and the encoder with a chosen target (tests
// compare every target the CPU runs against the scalar one).
#ifndef FENRO_AGGREGATORS_BFP16_KERNELS_H_
#define FENRO_AGGREGATORS_BFP16_KERNELS_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fenro/aggregators/bfp16.h"
#include "fenro/simd/cpu.h"

namespace fenro::aggregators::bfp16_kernels {

// The largest of `m` and |v[t]| over t < n; NaN elements are skipped. `m` is never NaN.
float max_abs_scalar(const float* v, size_t n, float m);
// out[t] = mantissa of v[t] at `scale` (2^-exponent): clamp to +-32767, round half away from
// zero, NaN to 0.
void encode_scalar(const float* v, size_t n, float scale, int16_t* out);
#if defined(FENRO_X86)
float max_abs_avx2(const float* v, size_t n, float m);
void encode_avx2(const float* v, size_t n, float scale, int16_t* out);
#endif

// The shared exponent of a block whose largest magnitude is `max_abs` (> 0, not NaN).
int8_t exponent_for(float max_abs);
// 2^-exponent as a float (exact: exponent is within -126..126).
float scale_for(int8_t exponent);

// encode_bfp16 on a chosen target.
std::vector<Bfp16Vec> encode_with(std::span<const UpdateView> updates, simd::Target target);

}  // namespace fenro::aggregators::bfp16_kernels

#endif  // FENRO_AGGREGATORS_BFP16_KERNELS_H_
