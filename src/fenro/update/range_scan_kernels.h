// Per-target loop of the range scans, and the scans on a chosen target (tests run every target
// the CPU supports against the scalar one).
#ifndef FENRO_UPDATE_RANGE_SCAN_KERNELS_H_
#define FENRO_UPDATE_RANGE_SCAN_KERNELS_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "fenro/simd/cpu.h"
#include "fenro/update/range_scan.h"

namespace fenro::update::detail {

// The largest of `m` and the magnitude bits (bits & 0x7fffffff) of v[0 .. n), compared as
// integers: the float order of the magnitudes, with every NaN above +inf.
uint32_t max_magnitude_bits_scalar(const float* v, size_t n, uint32_t m);
#if defined(FENRO_X86)
uint32_t max_magnitude_bits_avx2(const float* v, size_t n, uint32_t m);
#endif

RangeScan scan_range_with(const UpdateView& u, size_t lo, size_t hi, simd::Target target);
void scan_ranges_with(std::span<const UpdateView> updates, size_t lo, size_t hi, RangeScan* out,
                      simd::Target target);

}  // namespace fenro::update::detail

#endif  // FENRO_UPDATE_RANGE_SCAN_KERNELS_H_
