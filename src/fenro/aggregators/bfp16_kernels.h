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

namespace fenro::aggregators::detail {

// The largest of `m` and |v[t]| over t < n; NaN elements are skipped. `m` is never NaN.
float max_abs_scalar(const float* v, size_t n, float m);
// out[t] = mantissa of v[t] at `scale` (2^-exponent): clamp to +-32767, round half away from
// zero, NaN to 0.
void encode_scalar(const float* v, size_t n, float scale, int16_t* out);
#if defined(FENRO_X86)
float max_abs_avx2(const float* v, size_t n, float m);
void encode_avx2(const float* v, size_t n, float scale, int16_t* out);
// The largest of `m` and the magnitude bits (bits & 0x7fffffff) of every v[t], compared as
// integers: for non-NaN values that is the float order, and a result above 0x7f800000 means a
// NaN was seen (the maximum of the other values is then unknown).
uint32_t max_abs_bits_avx2(const float* v, size_t n, uint32_t m);
// encode_avx2 for blocks without NaN or infinity whose scaled values stay below 2^31 in
// magnitude (with a scale from the update's maximum they stay below 2^16): the clamp is then
// folded into the saturating 16-bit packing.
void encode_finite_avx2(const float* v, size_t n, float scale, int16_t* out);
// encode_avx2 and encode_finite_avx2 with each mantissa written as a double (the same integer).
void encode_f64_avx2(const float* v, size_t n, float scale, double* out);
void encode_finite_f64_avx2(const float* v, size_t n, float scale, double* out);
#endif

// The shared exponent of a block whose largest magnitude is `max_abs` (> 0, not NaN).
int8_t exponent_for(float max_abs);
// 2^-exponent as a float (exact: exponent is within -126..126).
float scale_for(int8_t exponent);

// encode_bfp16 on a chosen target.
std::vector<Bfp16Vec> encode_with(std::span<const UpdateView> updates, simd::Target target);

// What the encoder needs to produce any part of one update's mantissas on its own.
struct BlockScale {
  int8_t exponent = 0;  // as Bfp16Vec::exponent
  float scale = 0.0f;   // 2^-exponent, or 0 for an all-zero (or empty) update
  bool finite = false;  // no NaN or infinity anywhere in the update
};

// The shared exponent of every update, exactly as encode_with sets it; runs on the pool.
std::vector<BlockScale> block_scales_with(std::span<const UpdateView> updates,
                                          simd::Target target);

// Mantissas of the row-major elements [lo, hi) of `u` into out[0 .. hi - lo), equal to
// encode_with(...)[u].mantissas[lo .. hi) on every target.
void encode_range(const UpdateView& u, size_t lo, size_t hi, const BlockScale& s,
                  simd::Target target, int16_t* out);
// encode_range with each mantissa written as a double (the same integer), for kernels that
// compute on doubles.
void encode_range_f64(const UpdateView& u, size_t lo, size_t hi, const BlockScale& s,
                      simd::Target target, double* out);

}  // namespace fenro::aggregators::detail

#endif  // FENRO_AGGREGATORS_BFP16_KERNELS_H_
