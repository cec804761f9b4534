#include "fenro/aggregators/fedavg.h"

#include <cassert>
#include <cmath>
#include <vector>

#include "fenro/aggregators/coordinate_kernels.h"
#include "fenro/parallel/pool.h"
#include "fenro/simd/cpu.h"

namespace fenro::aggregators {
namespace detail {
namespace {

// Tiles of kMeanTile coordinates per worker-pool chunk.
constexpr size_t kMeanTilesPerChunk = 16;

// The float32 mean (sum in client order, then one division), with the per-element double
// recomputation of overflowed elements done inside the tile loop.
Matrix mean_in_float(std::span<const UpdateView> updates, const float* weights, float divisor,
                     simd::Target target) {
  const InputSet inputs(updates);
  Matrix out(inputs.in.rows, inputs.in.cols);
  const MeanJob job{inputs.in, weights, divisor, out.data()};
  auto run = &mean_tiles_scalar;
#if defined(FENRO_X86)
  if (target == simd::Target::kAvx2) run = &mean_tiles_avx2;
  if (target == simd::Target::kAvx512) run = &mean_tiles_avx512;
#else
  (void)target;
#endif
  const size_t tiles = (out.size() + kMeanTile - 1) / kMeanTile;
  parallel::parallel_for(tiles, kMeanTilesPerChunk,
                         [&](size_t begin, size_t end) { run(job, begin, end); });
  return out;
}

// The weighted mean entirely in double: products and sums in client order, divided by the
// double weight sum, rounded once. Taken when the float32 weight sum overflowed, since every
// float32 element would then be divided by an infinity.
Matrix weighted_mean_in_double(std::span<const UpdateView> updates, std::span<const float> weights,
                               double weight_sum) {
  const InputSet inputs(updates);
  const Inputs& in = inputs.in;
  Matrix out(in.rows, in.cols);
  const size_t d = out.size();
  const size_t tiles = (d + kMeanTile - 1) / kMeanTile;
  parallel::parallel_for(tiles, kMeanTilesPerChunk, [&](size_t begin, size_t end) {
    std::vector<double> acc(kMeanTile);
    for (size_t t = begin; t < end; ++t) {
      const size_t c0 = t * kMeanTile;
      const size_t len = std::min(kMeanTile, d - c0);
      std::fill(acc.begin(), acc.end(), 0.0);
      for (size_t k = 0; k < in.n; ++k) {
        const double w = static_cast<double>(weights[k]);
        for (size_t l = 0; l < len; ++l) {
          const size_t c = c0 + l;
          acc[l] += static_cast<double>(updates[k].at(c / in.cols, c % in.cols)) * w;
        }
      }
      for (size_t l = 0; l < len; ++l) out.data()[c0 + l] = static_cast<float>(acc[l] / weight_sum);
    }
  });
  return out;
}

}  // namespace

Result<Matrix> fedavg_with(std::span<const UpdateView> updates,
                           std::optional<std::span<const float>> checked_weights,
                           update::Validation validation, simd::Target target) {
  FENRO_RETURN_IF_ERROR(validation.check_shapes());
  Result<Matrix> out = [&]() -> Result<Matrix> {
    if (!checked_weights.has_value()) {
      return mean_in_float(updates, nullptr, static_cast<float>(updates.size()), target);
    }
    const std::span<const float> weights = *checked_weights;
    assert(weights.size() == updates.size());
    float sum = -0.0f;
    for (float w : weights) sum += w;
    if (std::isfinite(sum)) {
      if (sum == 0.0f) return validation.report(error::InsufficientQuorum{1, 0});
      return mean_in_float(updates, weights.data(), sum, target);
    }
    // Finite weights whose float32 sum overflowed: every element divided by an infinity would
    // lose its value, so the sum and the mean are taken in double instead.
    double wide = -0.0;
    for (float w : weights) wide += static_cast<double>(w);
    if (wide == 0.0) return validation.report(error::InsufficientQuorum{1, 0});
    return weighted_mean_in_double(updates, weights, wide);
  }();
  // A NaN or an infinity among the inputs always makes its output element non-finite (the
  // float32 sum and its double recomputation both carry it), so the output tells whether the
  // owed value scan can fail.
  if (out.ok() && validation.values_owed() && !update::all_finite(out->view())) {
    FENRO_RETURN_IF_ERROR(validation.complete());
  }
  return out;
}

Matrix mean_unchecked_with(std::span<const UpdateView> updates, simd::Target target) {
  return mean_in_float(updates, nullptr, static_cast<float>(updates.size()), target);
}

}  // namespace detail

Status check_weights(std::span<const float> weights, size_t n) {
  if (weights.size() != n) return error::DimensionMismatch{};
  for (size_t i = 0; i < n; ++i) {
    if (!std::isfinite(weights[i])) return error::NonFiniteWeight{weights[i], i};
  }
  return {};
}

Result<Matrix> fedavg(std::span<const UpdateView> updates,
                      std::optional<std::span<const float>> weights) {
  update::Validation validation = update::Validation::of(updates);
  FENRO_RETURN_IF_ERROR(validation.check_shapes());
  if (weights.has_value()) {
    Status checked = check_weights(*weights, updates.size());
    if (!checked.ok()) return validation.report(std::move(checked).error());
  }
  return fedavg(updates, weights, validation);
}

Result<Matrix> fedavg(std::span<const UpdateView> updates,
                      std::optional<std::span<const float>> checked_weights,
                      update::Validation validation) {
  return detail::fedavg_with(updates, checked_weights, validation, simd::best_target());
}

Matrix mean_unchecked(std::span<const UpdateView> updates) {
  return detail::mean_unchecked_with(updates, simd::best_target());
}

}  // namespace fenro::aggregators
