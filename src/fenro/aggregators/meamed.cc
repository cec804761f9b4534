#include "fenro/aggregators/meamed.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <limits>
#include <vector>

#include "fenro/aggregators/meamed_kernels.h"
#include "fenro/parallel/pool.h"

namespace fenro::aggregators {
namespace detail {
namespace {

float value_at(const Inputs& in, size_t k, size_t c) {
  if (in.contiguous) return in.bases[k][c];
  return in.bases[k][static_cast<std::ptrdiff_t>(c / in.cols) * in.strides[k] + c % in.cols];
}

bool sign_bit(float x) { return std::signbit(x); }

}  // namespace

float kept_zeros(const Inputs& in, size_t c, size_t keep) {
  size_t zeros = 0;
  for (size_t k = 0; k < in.n && zeros < keep; ++k) {
    const float x = value_at(in, k, c);
    if (x != 0.0f) continue;
    if (!sign_bit(x)) return 0.0f;
    ++zeros;
  }
  return -0.0f;
}

float around_median_exact(const Inputs& in, size_t c, size_t keep) {
  const size_t n = in.n, h = n / 2;
  std::vector<float> v(n);
  for (size_t k = 0; k < n; ++k) v[k] = value_at(in, k, c);
  std::vector<float> sorted = v;
  std::stable_sort(sorted.begin(), sorted.end(), [](float a, float b) { return a < b; });
  float median = sorted[h];
  if (n % 2 == 0) {
    median = (sorted[h - 1] + sorted[h]) * 0.5f;
    if (!std::isfinite(median)) {
      median = static_cast<float>(
          (static_cast<double>(sorted[h - 1]) + static_cast<double>(sorted[h])) * 0.5);
    }
  }
  const double m = median;
  std::vector<size_t> order(n);
  for (size_t k = 0; k < n; ++k) order[k] = k;
  // Stable: equal distances keep client order.
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return std::fabs(static_cast<double>(v[a]) - m) < std::fabs(static_cast<double>(v[b]) - m);
  });
  std::vector<float> kept(keep);
  bool all_zero = true, all_negative_zero = true;
  for (size_t i = 0; i < keep; ++i) {
    const float x = v[order[i]];
    all_zero = all_zero && x == 0.0f;
    all_negative_zero = all_negative_zero && x == 0.0f && sign_bit(x);
    kept[i] = x + 0.0f;
  }
  if (all_zero) return all_negative_zero ? -0.0f : 0.0f;
  std::sort(kept.begin(), kept.end());
  double acc = -0.0;
  for (float x : kept) acc += static_cast<double>(x);
  return static_cast<float>(acc / static_cast<double>(keep));
}

Result<Matrix> mean_around_median_with(std::span<const UpdateView> updates, size_t keep,
                                       update::Validation validation, simd::Target target) {
  FENRO_RETURN_IF_ERROR(validation.check_shapes());
  // The sorting path for many updates reads the values in an order that cannot check along
  // the way.
  if (updates.size() > kMaxNetworkInputs) FENRO_RETURN_IF_ERROR(validation.complete());
  const InputSet inputs(updates);
  const Inputs& in = inputs.in;
  Matrix out(in.rows, in.cols);
  const size_t d = in.rows * in.cols;
  if (d == 0) return out;
  if (in.n > kMaxNetworkInputs) {
    parallel::parallel_for(d, 256, [&](size_t b, size_t e) {
      for (size_t c = b; c < e; ++c) out.data()[c] = around_median_exact(in, c, keep);
    });
    return out;
  }
  const Network net = build_network(in.n, 0, in.n, slot_floats_of(kAroundTile));
  AroundMedianJob job{};
  job.select.in = in;
  job.select.lo = 0;
  job.select.hi = in.n;
  job.select.reduce = Reduce::kPick;  // unused: the tiles reduce on their own
  job.select.padded = net.padded;
  job.select.pairs = net.pairs.data();
  job.select.runs = net.runs.data();
  job.select.steps = net.steps.data();
  job.select.num_steps = net.steps.size();
  job.keep = keep;
  job.out = out.data();
  auto run = &around_median_tiles_scalar;
#if defined(FENRO_X86)
  if (target == simd::Target::kAvx2) run = &around_median_tiles_avx2;
  if (target == simd::Target::kAvx512) run = &around_median_tiles_avx512;
#else
  (void)target;
#endif
  const size_t tiles = (d + kAroundTile - 1) / kAroundTile;
  // Several stage groups per chunk, so that a worker's scratch serves a while.
  constexpr size_t kTilesPerChunk = 4 * kAroundStage / kAroundTile;
  const size_t slot = slot_floats_of(kAroundTile);
  std::atomic<bool> all_finite{true};
  parallel::parallel_for(tiles, kTilesPerChunk, [&](size_t begin, size_t end) {
    if (!all_finite.load(std::memory_order_relaxed)) return;
    // 64-byte aligned rows of `slot` floats.
    Matrix scratch((around_median_scratch_floats(in.n, job.select.padded) + slot - 1) / slot,
                   slot);
    std::vector<const float*> stage_bases(in.n);
    // Padding slots hold +inf for good: no comparator moves a +inf past a finite value.
    std::fill(scratch.data() + in.n * slot, scratch.data() + job.select.padded * slot,
              std::numeric_limits<float>::infinity());
    if (!run(job, begin, end, scratch.data(), stage_bases.data())) {
      all_finite.store(false, std::memory_order_relaxed);
    }
  });
  if (!all_finite.load()) {
    // Only values still owed a check can be non-finite; the scan names the first one.
    Status values = validation.complete();
    assert(!values.ok());
    if (!values.ok()) return std::move(values).error();
  }
  return out;
}

}  // namespace detail

Result<Matrix> meamed(std::span<const UpdateView> updates, uint64_t f) {
  update::Validation validation = update::Validation::of(updates);
  FENRO_RETURN_IF_ERROR(validation.check_shapes());
  const size_t n = updates.size();
  if (!(f < n && f < n - f)) {  // 2f < n, without forming 2f
    return validation.report(error::ByzantineCountOutOfRange{error::CountRule::kMeamed, f, n});
  }
  return detail::mean_around_median_with(updates, n - f, validation, simd::best_target());
}

}  // namespace fenro::aggregators
