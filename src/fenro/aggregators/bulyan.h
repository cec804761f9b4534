// Bulyan: repeated Krum selection, then a mean around the median per coordinate.
#ifndef FENRO_AGGREGATORS_BULYAN_H_
#define FENRO_AGGREGATORS_BULYAN_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fenro/error/result.h"
#include "fenro/simd/cpu.h"
#include "fenro/update/update.h"

namespace fenro::aggregators {

struct BulyanResult {
  Matrix aggregate;
  std::vector<size_t> selected;  // the theta = n - 2f chosen indices, in selection order
};

// Checks, first failure wins: the shared update validation (validation.h); then n >= 4f + 3, else
// ByzantineCountOutOfRange ("f = 3 is out of range: bulyan needs n >= 4f + 3 (n = 10)").
//
// Selection: theta = n - 2f rounds of Krum on the remaining set. Distances are Krum's exact
// integer distances on the 16-bit block-floating-point encoding (krum.h, the encoding
// aggregate_krum_bfp16 ranks), computed once for every pair. With n' updates remaining, each
// scores the saturating sum of its max(n' - f - 2, 1) smallest distances to the others; the
// smallest score leaves the set (the lowest index on equal scores); a last remaining update is
// chosen. The first round is exactly our Krum's choice.
// Aggregate: per coordinate, over the selected updates taken in ascending index order, the mean
// of the beta = theta - 2f values nearest to their median (ties to the lower client index), as
// meamed computes it: float64 distances and sums, rounded once to float32.
// Extra memory: the n x n distance table and the output.
Result<BulyanResult> bulyan(std::span<const UpdateView> updates, uint64_t f);

namespace detail {

// bulyan on a chosen SIMD target (which the CPU must support).
Result<BulyanResult> bulyan_with(std::span<const UpdateView> updates, uint64_t f,
                                 simd::Target target);

// The repeated Krum selection on the row-major n x n table `dist` of a Krum distance for every
// pair, n >= 4f + 3: the selected indices in selection order.
std::vector<size_t> bulyan_selection(const std::vector<int64_t>& dist, size_t n, size_t f);

}  // namespace detail

}  // namespace fenro::aggregators

#endif  // FENRO_AGGREGATORS_BULYAN_H_
