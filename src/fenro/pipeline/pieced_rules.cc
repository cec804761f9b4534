#include "fenro/pipeline/pieced_rules.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <numeric>

#include "fenro/aggregators/bulyan.h"
#include "fenro/aggregators/krum.h"
#include "fenro/aggregators/meamed_kernels.h"
#include "fenro/math/means.h"
#include "fenro/math/running_sums.h"
#include "fenro/preaggregation/clip.h"
#include "fenro/simd/cpu.h"
#include "fenro/update/validation.h"

namespace fenro::pipeline::pieced {
namespace {

// The validated norms of the concatenated updates: the validation's first failure (as
// validated_l2_norms_f64 reports it), else every norm. As there, one pass: a float64 sum of
// squares of finite float32 values cannot overflow, so only a non-finite norm sends the
// validation looking for the value.
Result<std::vector<double>> validated_norms(const update::Pieces& pieces) {
  FENRO_RETURN_IF_ERROR(update::check_piece_shapes(pieces));
  std::vector<double> norms(pieces.count());
  math::l2_norms_f64(pieces, norms.data());
  for (double norm : norms) {
    if (!std::isfinite(norm)) {
      std::vector<float> max_abs(pieces.count());
      Status values = update::validate_pieces(pieces, max_abs.data());
      assert(!values.ok());
      return std::move(values).error();
    }
  }
  return norms;
}

std::vector<UpdateStack> scale(const update::Pieces& pieces, const std::vector<double>& factors) {
  std::vector<UpdateStack> out;
  out.reserve(pieces.piece_count());
  for (size_t p = 0; p < pieces.piece_count(); ++p) {
    out.push_back(preaggregation::detail::scale_updates(pieces.piece(p), factors));
  }
  return out;
}

}  // namespace

Result<ClipResult> clip(const update::Pieces& pieces, double c) {
  auto norms = validated_norms(pieces);
  if (!norms.ok()) return std::move(norms).error();
  if (!(std::isfinite(c) && c > 0.0)) {
    return error::RealParameterOutOfRange{"clip", "c", c, error::RealRange::kFinitePositive};
  }
  // The factors of preaggregation::clip.
  std::vector<double> factors(pieces.count());
  for (size_t i = 0; i < factors.size(); ++i) {
    factors[i] = (*norms)[i] > c ? c / (*norms)[i] : 1.0;
  }
  return ClipResult{scale(pieces, factors), std::move(*norms), std::move(factors)};
}

Result<ArcResult> arc(const update::Pieces& pieces, uint64_t f) {
  auto norms = validated_norms(pieces);
  if (!norms.ok()) return std::move(norms).error();
  auto decided = preaggregation::arc_decide(std::move(*norms), f);
  if (!decided.ok()) return std::move(decided).error();
  ArcResult result;
  static_cast<preaggregation::ArcDecision&>(result) = std::move(decided).value();
  result.clipped = scale(pieces, result.factors);
  return result;
}

Result<NnmResult> nnm(const update::Pieces& pieces, uint64_t f) {
  std::vector<float> max_abs(pieces.count());
  FENRO_RETURN_IF_ERROR(update::validate_pieces(pieces, max_abs.data()));
  const size_t n = pieces.count();
  if (!(f < n && f < n - f)) return error::ByzantineCountOutOfRange{error::CountRule::kNnm, f, n};
  const size_t keep = n - f;
  // Row j: the squared distance of every update to update j, in the concatenated order.
  std::vector<double> sq(n * n, math::kRunningSumStart);
  for (size_t p = 0; p < pieces.piece_count(); ++p) {
    const std::span<const UpdateView> piece = pieces.piece(p);
    for (size_t j = 0; j < n; ++j) {
      math::continue_sums_of_squared_differences(piece, piece[j], 0, piece[0].size(),
                                                 sq.data() + j * n);
    }
  }
  NnmResult result;
  result.neighbours.resize(n * keep);
  std::vector<uint32_t> order(n);
  for (size_t i = 0; i < n; ++i) {
    std::iota(order.begin(), order.end(), uint32_t{0});
    const double* row = sq.data() + i * n;
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return row[a] < row[b]; });
    std::sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(keep));
    std::copy_n(order.begin(), keep, result.neighbours.begin() + static_cast<std::ptrdiff_t>(i * keep));
  }
  std::vector<uint32_t> offsets(n + 1);
  for (size_t i = 0; i <= n; ++i) offsets[i] = static_cast<uint32_t>(i * keep);
  for (size_t p = 0; p < pieces.piece_count(); ++p) {
    const std::span<const UpdateView> piece = pieces.piece(p);
    UpdateStack mixed(n, piece[0].rows, piece[0].cols);
    (void)math::average_lists_f64(piece, offsets, result.neighbours, mixed);
    result.mixed.push_back(std::move(mixed));
  }
  return result;
}

Result<BulyanResult> bulyan(const update::Pieces& pieces, uint64_t f) {
  std::vector<float> max_abs(pieces.count());
  FENRO_RETURN_IF_ERROR(update::validate_pieces(pieces, max_abs.data()));
  const size_t n = pieces.count();
  if (n < 3 || f > (n - 3) / 4) {
    return error::ByzantineCountOutOfRange{error::CountRule::kBulyan, f, n};
  }
  BulyanResult result;
  result.selected =
      aggregators::detail::bulyan_selection(aggregators::pair_distances(pieces, max_abs), n, f);
  std::vector<size_t> chosen = result.selected;
  std::sort(chosen.begin(), chosen.end());
  for (size_t p = 0; p < pieces.piece_count(); ++p) {
    std::vector<UpdateView> subset;
    subset.reserve(chosen.size());
    for (size_t i : chosen) subset.push_back(pieces.piece(p)[i]);
    auto aggregate = aggregators::detail::mean_around_median_with(
        subset, chosen.size() - 2 * f, update::Validation::done(), simd::best_target());
    if (!aggregate.ok()) return std::move(aggregate).error();
    result.aggregate.push_back(std::move(*aggregate));
  }
  return result;
}

}  // namespace fenro::pipeline::pieced
