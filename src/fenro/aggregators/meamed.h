// Mean around the median.
#ifndef FENRO_AGGREGATORS_MEAMED_H_
#define FENRO_AGGREGATORS_MEAMED_H_

#include <cstdint>
#include <span>

#include "fenro/error/result.h"
#include "fenro/update/update.h"

namespace fenro::aggregators {

// Returns, per coordinate, the mean of the n - f values nearest to the coordinate's median
// (ties to the lower client index).
// Checks, first failure wins: the shared update validation (validation.h); then 2f < n, else
// ByzantineCountOutOfRange ("f = 5 is out of range: meamed needs 2f < n (n = 10)").
// The median is exactly median()'s; distances |x - median| are taken in float64; the kept
// values are summed in ascending order in float64 and divided by n - f there, then rounded once
// to float32, so the result is within one float32 rounding of the exact mean of the kept
// values. An all-zero kept set gives -0.0 only when its values are all -0.0 (see
// meamed_kernels.h for the exact definition). Runs on the worker pool; identical bits for every
// thread count and SIMD target.
Result<Matrix> meamed(std::span<const UpdateView> updates, uint64_t f);

}  // namespace fenro::aggregators

#endif  // FENRO_AGGREGATORS_MEAMED_H_
