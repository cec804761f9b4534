// The rules and pre-aggregators that measure whole updates, on updates held in pieces
// (update/pieces.h): each gives, piece by piece, the bits of the same function on the
// concatenated updates, and its checks in the same order with the same errors, without
// concatenating them. The norms and distances continue one float64 running sum across the
// pieces (math/running_sums.h); Bulyan's selection sums the pieces' exact integer Gram entries
// (aggregators/krum.h). Results come back piece by piece, in each piece's shape.
#ifndef FENRO_PIPELINE_PIECED_RULES_H_
#define FENRO_PIPELINE_PIECED_RULES_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fenro/error/result.h"
#include "fenro/preaggregation/arc.h"
#include "fenro/update/pieces.h"
#include "fenro/update/update.h"
#include "fenro/update/update_stack.h"

namespace fenro::pipeline::pieced {

// preaggregation::clip's results: the clipped updates per piece, with every norm and factor.
struct ClipResult {
  std::vector<UpdateStack> clipped;  // one per piece, n updates of the piece's shape
  std::vector<double> norms;
  std::vector<double> factors;
};
Result<ClipResult> clip(const update::Pieces& pieces, double c);

// preaggregation::arc's results, per piece.
struct ArcResult : preaggregation::ArcDecision {
  std::vector<UpdateStack> clipped;
};
Result<ArcResult> arc(const update::Pieces& pieces, uint64_t f);

// preaggregation::nnm's results, per piece. The neighbours are ranked by the exact squared
// distances of the concatenated updates (ties to the lower index), which cost n^2 / 2 passes
// over the values.
struct NnmResult {
  std::vector<UpdateStack> mixed;
  std::vector<uint32_t> neighbours;  // n lists of n - f indices, each ascending
};
Result<NnmResult> nnm(const update::Pieces& pieces, uint64_t f);

// aggregators::bulyan's results: the aggregate per piece, and the selection.
struct BulyanResult {
  std::vector<Matrix> aggregate;
  std::vector<size_t> selected;
};
Result<BulyanResult> bulyan(const update::Pieces& pieces, uint64_t f);

}  // namespace fenro::pipeline::pieced

#endif  // FENRO_PIPELINE_PIECED_RULES_H_
