#include "fenro/aggregators/coordinate_kernels.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "fenro/parallel/pool.h"

namespace fenro::aggregators::detail {

namespace {

struct Comparator {
  uint32_t lo, hi;
  OpKind kind;
  uint32_t level;  // p of the merge level: the comparator merges sorted runs of p slots
};

// Slots per block that the tile loops sort in registers before running the network.
constexpr size_t kRegisterBlock = 16;

// Batcher's odd-even merge sort for n inputs, stage by stage. It is built for the next power
// of two; comparators touching a slot >= n are dropped, which is exact because the missing
// slots behave as +infinity padding that no comparator ever moves.
std::vector<std::vector<Comparator>> odd_even_merge_stages(size_t n) {
  std::vector<std::vector<Comparator>> stages;
  for (size_t p = 1; p < padded_slots(n); p <<= 1) {
    for (size_t k = p; k >= 1; k >>= 1) {
      std::vector<Comparator> stage;
      for (size_t j = k % p; j + k < n; j += 2 * k) {
        for (size_t i = 0; i < k && i + j + k < n; ++i) {
          const size_t a = i + j, b = i + j + k;
          if (a / (2 * p) == b / (2 * p)) {
            stage.push_back({static_cast<uint32_t>(a), static_cast<uint32_t>(b), OpKind::kBoth,
                             static_cast<uint32_t>(p)});
          }
        }
      }
      if (!stage.empty()) stages.push_back(std::move(stage));
    }
  }
  return stages;
}

// Keeps, walking backwards from the wanted slots [lo, hi), only the comparators whose outputs
// are needed later, and of those only the outputs (min, max or both) that are.
std::vector<std::vector<Comparator>> pruned_stages(size_t n, size_t lo, size_t hi) {
  auto stages = odd_even_merge_stages(n);
  std::vector<char> needed(n, 0);
  for (size_t s = lo; s < hi; ++s) needed[s] = 1;
  for (size_t s = stages.size(); s-- > 0;) {
    std::vector<Comparator> kept;
    for (const Comparator& c : stages[s]) {
      const bool want_lo = needed[c.lo] != 0, want_hi = needed[c.hi] != 0;
      if (!want_lo && !want_hi) continue;
      kept.push_back({c.lo, c.hi,
                      want_lo && want_hi ? OpKind::kBoth
                      : want_lo          ? OpKind::kMinOnly
                                         : OpKind::kMaxOnly,
                      c.level});
    }
    // Comparators of one stage touch disjoint slots, so marking after the stage is exact.
    for (const Comparator& c : kept) needed[c.lo] = needed[c.hi] = 1;
    stages[s] = std::move(kept);
  }
  return stages;
}

}  // namespace

// The schedule the tile loops run. Doing more comparisons than the pruned network is exact
// (a comparator was pruned only when nothing downstream reads its outputs), which allows:
//  - the early comparators, within aligned blocks of 16 slots, are replaced by a complete
//    in-register sort of each block;
//  - a merge level (p >= 16) that pruning leaves mostly whole runs complete, as register
//    passes over its blocks (kLevel), on a tile padded with +infinity to `padded` slots;
//  - the rest runs comparator by comparator in memory, grouped into runs of one kind.
Network build_network(size_t n, size_t lo, size_t hi, size_t slot_floats) {
  Network net;
  net.padded = n;
  std::vector<size_t> full(2 * padded_slots(n) + 1, 0), kept(full.size(), 0);
  for (const auto& stage : odd_even_merge_stages(n))
    for (const Comparator& c : stage) ++full[c.level];
  const auto stages = pruned_stages(n, lo, hi);
  for (const auto& stage : stages)
    for (const Comparator& c : stage) ++kept[c.level];
  // A level runs whole when pruning removed under a quarter of it: register passes cost about
  // half as much per comparator as comparisons through memory.
  const auto whole = [&](size_t level) {
    return level >= kRegisterBlock && 4 * kept[level] >= 3 * full[level];
  };
  size_t pending_runs = 0, pending_pairs = 0;
  const auto flush = [&] {
    if (net.runs.size() == pending_runs) return;
    net.steps.push_back({NetStep::Kind::kRuns, 0, static_cast<uint32_t>(pending_runs),
                         static_cast<uint32_t>(net.runs.size()),
                         static_cast<uint32_t>(pending_pairs)});
    pending_runs = net.runs.size();
    pending_pairs = net.pairs.size();
  };
  size_t last_whole = 0;
  for (const auto& stage : stages) {
    if (stage.empty()) continue;
    const size_t level = stage.front().level;
    if (whole(level)) {
      if (level != last_whole) {
        flush();
        net.steps.push_back({NetStep::Kind::kLevel, static_cast<uint32_t>(level), 0, 0, 0});
        net.padded = padded_slots(n);
        last_whole = level;
      }
      continue;
    }
    // Within a stage the comparators are independent: group them by kind.
    for (OpKind kind : {OpKind::kBoth, OpKind::kMinOnly, OpKind::kMaxOnly}) {
      uint32_t count = 0;
      for (const Comparator& c : stage) {
        if (c.kind != kind || c.level < kRegisterBlock) continue;
        net.pairs.push_back(c.lo * static_cast<uint32_t>(slot_floats));
        net.pairs.push_back(c.hi * static_cast<uint32_t>(slot_floats));
        ++count;
      }
      if (count > 0) net.runs.push_back({kind, count});
    }
  }
  flush();
  return net;
}

namespace {

struct FreeDeleter {
  void operator()(float* p) const { std::free(p); }
};
std::unique_ptr<float, FreeDeleter> aligned_floats(size_t count) {
  size_t bytes = (std::max<size_t>(count, 1) * sizeof(float) + 63) & ~size_t{63};
  float* p = static_cast<float*>(std::aligned_alloc(64, bytes));
  if (p == nullptr) throw std::bad_alloc();
  return std::unique_ptr<float, FreeDeleter>(p);
}

// Large n: sorts each coordinate's values (zeros made +0.0) just far enough for the kept slots.
void select_by_sorting(const Inputs& in, size_t lo, size_t hi, Reduce reduce, float* out) {
  const size_t d = in.rows * in.cols;
  constexpr size_t kGrain = 256;
  parallel::parallel_for(d, kGrain, [&](size_t begin, size_t end) {
    std::vector<float> v(in.n);
    for (size_t c = begin; c < end; ++c) {
      for (size_t k = 0; k < in.n; ++k) {
        const float* p = in.contiguous ? in.bases[k] + c
                                       : in.bases[k] + static_cast<std::ptrdiff_t>(c / in.cols) *
                                                           in.strides[k] + c % in.cols;
        v[k] = *p + 0.0f;
      }
      std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(lo), v.end());
      if (hi < in.n) {
        std::nth_element(v.begin() + static_cast<std::ptrdiff_t>(lo) + 1,
                         v.begin() + static_cast<std::ptrdiff_t>(hi), v.end());
      }
      std::sort(v.begin() + static_cast<std::ptrdiff_t>(lo),
                v.begin() + static_cast<std::ptrdiff_t>(hi));
      float r;
      if (reduce == Reduce::kPick) {
        r = v[lo];
      } else if (reduce == Reduce::kHalfSum) {
        r = (v[lo] + v[lo + 1]) * 0.5f;
        if (!std::isfinite(r)) {
          const double a = static_cast<double>(v[lo]), b = static_cast<double>(v[lo + 1]);
          r = static_cast<float>((a + b) * 0.5);
        }
      } else {
        float acc = -0.0f;
        for (size_t s = lo; s < hi; ++s) acc += v[s];
        r = acc / static_cast<float>(hi - lo);
        if (!std::isfinite(r)) {
          double dacc = -0.0;
          for (size_t s = lo; s < hi; ++s) dacc += static_cast<double>(v[s]);
          r = static_cast<float>(dacc / static_cast<double>(hi - lo));
        }
      }
      if (r == 0.0f) r = fix_zero_sign_scalar(in, c, lo, hi, r);
      out[c] = r;
    }
  });
}

}  // namespace

InputSet::InputSet(std::span<const UpdateView> updates) {
  bool contiguous = true;
  for (const UpdateView& u : updates) {
    bases.push_back(u.data);
    strides.push_back(u.row_stride);
    contiguous = contiguous && u.contiguous();
  }
  in = {bases.data(), strides.data(), updates.size(), updates.empty() ? 0 : updates[0].rows,
        updates.empty() ? 0 : updates[0].cols, contiguous};
}

size_t network_size(size_t n, size_t lo, size_t hi) {
  size_t total = 0;
  for (const auto& stage : pruned_stages(n, lo, hi)) total += stage.size();
  return total;
}

namespace {

// The selection job of `in`, writing to `out`, with the network and its slots.
SelectJob job_of(const Inputs& in, size_t lo, size_t hi, Reduce reduce, const Network& net,
                 float* out) {
  SelectJob job{};
  job.in = in;
  job.lo = lo;
  job.hi = hi;
  job.reduce = reduce;
  job.padded = net.padded;
  job.pairs = net.pairs.data();
  job.runs = net.runs.data();
  job.steps = net.steps.data();
  job.num_steps = net.steps.size();
  job.out = out;
  return job;
}

using TileFn = bool (*)(const SelectJob&, size_t, size_t, float*);

TileFn tiles_for(simd::Target target) {
  auto run = &select_tiles_scalar;
#if defined(FENRO_X86)
  if (target == simd::Target::kAvx2) run = &select_tiles_avx2;
  if (target == simd::Target::kAvx512) run = &select_tiles_avx512;
#else
  (void)target;
#endif
  return run;
}

// A worker's scratch for one chunk of tiles: the padding slots hold +inf for good, since no
// comparator moves a +inf past a finite value.
std::unique_ptr<float, FreeDeleter> tile_scratch(size_t n, size_t padded) {
  auto scratch = aligned_floats(padded * kSlotFloats);
  std::fill(scratch.get() + n * kSlotFloats, scratch.get() + padded * kSlotFloats,
            std::numeric_limits<float>::infinity());
  return scratch;
}

constexpr size_t kTilesPerChunk = 64;

}  // namespace

Result<Matrix> select_coordinates(std::span<const UpdateView> updates, size_t lo, size_t hi,
                                  Reduce reduce, simd::Target target,
                                  update::Validation validation) {
  // The sorting path for many updates reads the values in an order that cannot check along
  // the way.
  if (updates.size() > kMaxNetworkInputs) FENRO_RETURN_IF_ERROR(validation.complete());
  const InputSet inputs(updates);
  const Inputs& in = inputs.in;
  Matrix out(in.rows, in.cols);
  const size_t d = in.rows * in.cols;
  if (d == 0) return out;
  if (in.n > kMaxNetworkInputs) {
    select_by_sorting(in, lo, hi, reduce, out.data());
    return out;
  }
  const Network net = build_network(in.n, lo, hi, kSlotFloats);
  const SelectJob job = job_of(in, lo, hi, reduce, net, out.data());
  const TileFn run = tiles_for(target);
  const size_t tiles = (d + kSelectTile - 1) / kSelectTile;
  std::atomic<bool> all_finite{true};
  parallel::parallel_for(tiles, kTilesPerChunk, [&](size_t begin, size_t end) {
    if (!all_finite.load(std::memory_order_relaxed)) return;
    auto scratch = tile_scratch(in.n, job.padded);
    if (!run(job, begin, end, scratch.get())) all_finite.store(false, std::memory_order_relaxed);
  });
  if (!all_finite.load()) {
    // Only values still owed a check can be non-finite; the scan names the first one.
    Status values = validation.complete();
    assert(!values.ok());
    if (!values.ok()) return std::move(values).error();
  }
  return out;
}

Result<std::vector<Matrix>> select_coordinates(const update::Pieces& pieces, size_t lo,
                                               size_t hi, Reduce reduce, simd::Target target) {
  const size_t n = pieces.count(), k = pieces.piece_count();
  std::vector<float> max_abs(n);
  // The first failure of the update validation of the concatenated updates.
  const auto failure = [&]() -> FenroError {
    Status status = update::validate_pieces(pieces, max_abs.data());
    assert(!status.ok());
    return std::move(status).error();
  };
  if (!update::check_piece_shapes(pieces).ok()) return failure();
  std::vector<std::unique_ptr<InputSet>> inputs;
  std::vector<Matrix> outs;
  inputs.reserve(k);
  outs.reserve(k);
  for (size_t p = 0; p < k; ++p) {
    inputs.push_back(std::make_unique<InputSet>(pieces.piece(p)));
    outs.emplace_back(inputs[p]->in.rows, inputs[p]->in.cols);
  }
  if (n > kMaxNetworkInputs) {
    FENRO_RETURN_IF_ERROR(update::validate_pieces(pieces, max_abs.data()));
    for (size_t p = 0; p < k; ++p) {
      if (outs[p].size() > 0) select_by_sorting(inputs[p]->in, lo, hi, reduce, outs[p].data());
    }
    return outs;
  }
  // One loop over the tiles of every piece, so that the pool stays busy across small pieces.
  const Network net = build_network(n, lo, hi, kSlotFloats);
  std::vector<SelectJob> jobs;
  std::vector<size_t> first_tile(k + 1, 0);
  for (size_t p = 0; p < k; ++p) {
    jobs.push_back(job_of(inputs[p]->in, lo, hi, reduce, net, outs[p].data()));
    first_tile[p + 1] = first_tile[p] + (outs[p].size() + kSelectTile - 1) / kSelectTile;
  }
  const TileFn run = tiles_for(target);
  std::atomic<bool> all_finite{true};
  parallel::parallel_for(first_tile[k], kTilesPerChunk, [&](size_t begin, size_t end) {
    if (!all_finite.load(std::memory_order_relaxed)) return;
    auto scratch = tile_scratch(n, net.padded);
    size_t p = static_cast<size_t>(
        std::upper_bound(first_tile.begin(), first_tile.end(), begin) - first_tile.begin()) - 1;
    for (size_t t = begin; t < end; ++p) {
      const size_t stop = std::min(end, first_tile[p + 1]);
      if (stop > t && !run(jobs[p], t - first_tile[p], stop - first_tile[p], scratch.get())) {
        all_finite.store(false, std::memory_order_relaxed);
        return;
      }
      t = std::max(t, stop);
    }
  });
  if (!all_finite.load()) return failure();
  return outs;
}

}  // namespace fenro::aggregators::detail
