#include "fenro/math/means.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "fenro/math/f64_kernels.h"
#include "fenro/parallel/pool.h"
#include "fenro/update/element_runs.h"

namespace fenro::math {
namespace detail {
namespace {

// For every output, the first output with the same member list (itself when there is none).
std::vector<uint32_t> first_with_same_list(std::span<const uint32_t> offsets,
                                           std::span<const uint32_t> members) {
  const size_t outputs = offsets.size() - 1;
  const auto list = [&](uint32_t r) {
    return std::span<const uint32_t>(members.data() + offsets[r], offsets[r + 1] - offsets[r]);
  };
  std::vector<uint32_t> order(outputs);
  for (uint32_t r = 0; r < outputs; ++r) order[r] = r;
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    const auto la = list(a), lb = list(b);
    return std::lexicographical_compare(la.begin(), la.end(), lb.begin(), lb.end());
  });
  std::vector<uint32_t> source(outputs);
  for (size_t i = 0; i < outputs; ++i) {
    const bool same = i > 0 && std::ranges::equal(list(order[i]), list(order[i - 1]));
    source[order[i]] = same ? source[order[i - 1]] : order[i];
  }
  return source;
}

}  // namespace

bool average_lists_with(std::span<const UpdateView> updates, std::span<const uint32_t> offsets,
                        std::span<const uint32_t> members, UpdateStack& out,
                        simd::Target target) {
  const size_t n = updates.size();
  const size_t d = out.update_size();
  if (offsets.size() < 2 || d == 0) return true;
  const Kernels& kernels = kernels_for(target);
  const std::vector<uint32_t> source = first_with_same_list(offsets, members);
  std::vector<uint32_t> todo;
  for (uint32_t r = 0; r < source.size(); ++r)
    if (source[r] == r) todo.push_back(r);
  // Short lists over dense updates, each update in some list (so every value is checked), as in
  // bucketing: each sum reads its members' rows directly, with no float64 tile of all n.
  {
    size_t total = 0;
    bool dense = true, nonempty = true;
    std::vector<uint8_t> used(n, 0);
    for (const UpdateView& u : updates) dense = dense && u.contiguous();
    for (uint32_t r : todo) {
      total += offsets[r + 1] - offsets[r];
      nonempty = nonempty && offsets[r + 1] > offsets[r];
      for (uint32_t i = offsets[r]; i < offsets[r + 1]; ++i)
        if (members[i] < n) used[members[i]] = 1;
    }
    const bool covered = std::all_of(used.begin(), used.end(), [](uint8_t u) { return u != 0; });
    if (dense && nonempty && covered && total <= 2 * n) {
      constexpr size_t kSpan = size_t{1} << 14;  // elements per task: 64 KB of each member
      const size_t spans = (d + kSpan - 1) / kSpan;
      std::atomic<bool> finite{true};
      parallel::parallel_for(todo.size() * spans, 1, [&](size_t begin, size_t end) {
        std::vector<const float*> src;
        bool ok = true;
        for (size_t task = begin; task < end; ++task) {
          const uint32_t r = todo[task / spans];
          const size_t c0 = (task % spans) * kSpan, len = std::min(kSpan, d - c0);
          src.clear();
          for (uint32_t i = offsets[r]; i < offsets[r + 1]; ++i) src.push_back(updates[members[i]].data + c0);
          const double scale = 1.0 / static_cast<double>(src.size());
          ok = kernels.list_mean(src.data(), src.size(), scale, len, out.update(r) + c0) && ok;
        }
        if (!ok) finite.store(false);
      });
      parallel::parallel_for(source.size(), 1, [&](size_t begin, size_t end) {
        for (size_t r = begin; r < end; ++r)
          if (source[r] != r) std::memcpy(out.update(r), out.update(source[r]), d * sizeof(float));
      });
      return finite.load();
    }
  }
  // Long lists of distinct members are summed from each block's total minus their complement
  // where that is exact (MixJob): worth it when the total and the complements take fewer
  // additions than the lists.
  std::vector<uint32_t> excluded_offsets, excluded;
  {
    size_t list_adds = 0, complement_adds = n;
    bool distinct = true;
    std::vector<uint8_t> seen(n);
    for (uint32_t r : todo) {
      std::fill(seen.begin(), seen.end(), uint8_t{0});
      for (uint32_t i = offsets[r]; i < offsets[r + 1]; ++i) {
        distinct = distinct && members[i] < n && seen[members[i]] == 0;
        if (members[i] < n) seen[members[i]] = 1;
      }
      list_adds += offsets[r + 1] - offsets[r];
      complement_adds += n - std::min<size_t>(n, offsets[r + 1] - offsets[r]);
    }
    if (distinct && complement_adds < list_adds && exact_ratio_for(n) > 0.0) {
      excluded_offsets.assign(source.size() + 1, 0);
      for (uint32_t r = 0; r < source.size(); ++r) {
        std::fill(seen.begin(), seen.end(), uint8_t{0});
        for (uint32_t i = offsets[r]; i < offsets[r + 1]; ++i) seen[members[i]] = 1;
        for (uint32_t k = 0; k < n; ++k)
          if (seen[k] == 0) excluded.push_back(k);
        excluded_offsets[r + 1] = static_cast<uint32_t>(excluded.size());
      }
    }
  }
  // The chunk of all n updates in float64 takes about 1 MB of L2.
  const size_t chunk = std::clamp<size_t>((size_t{1} << 17) / std::max<size_t>(n, 1), kMixBlock,
                                          4096) & ~(kMixBlock - 1);
  const size_t chunks = (d + chunk - 1) / chunk;
  // One task per thread, each with its own tile, claiming chunks in any order: every output
  // element is one sum over its list whatever the chunk a task takes.
  const size_t tasks = std::min(parallel::thread_count(), chunks);
  std::atomic<size_t> next{0};
  std::atomic<bool> finite{true};
  parallel::parallel_for(tasks, 1, [&](size_t, size_t) {
    const auto tile = aligned_doubles(chunk * n);
    bool all_finite = true;
    for (size_t c = next.fetch_add(1); c < chunks; c = next.fetch_add(1)) {
      const size_t c0 = c * chunk, len = std::min(chunk, d - c0);
      for (size_t k = 0; k < n; ++k) {
        // Runs start at block boundaries for dense updates (chunks are whole blocks); a run of a
        // strided update may start inside a block.
        update::for_each_run(updates[k], c0, c0 + len, [&](const float* p, size_t count, size_t at) {
          size_t t = at - c0;
          double* dst = tile.get() + ((t / kMixBlock) * n + k) * kMixBlock;
          if (t % kMixBlock != 0) {
            const size_t head = std::min(count, kMixBlock - t % kMixBlock);
            all_finite = kernels.mix_fill(p, head, dst + t % kMixBlock, 0) && all_finite;
            p += head;
            count -= head;
            t += head;
            dst += n * kMixBlock;
          }
          all_finite = kernels.mix_fill(p, count, dst, n * kMixBlock) && all_finite;
        });
      }
      const MixJob job{tile.get(), n, len, offsets.data(), members.data(), todo.data(),
                       todo.size(), out.data() + c0, d,
                       excluded_offsets.empty() ? nullptr : excluded_offsets.data(),
                       excluded.data(), exact_ratio_for(n)};
      kernels.mix_rows(job);
      for (uint32_t r = 0; r < source.size(); ++r) {
        if (source[r] != r) std::memcpy(out.update(r) + c0, out.update(source[r]) + c0, len * sizeof(float));
      }
    }
    if (!all_finite) finite.store(false);
  });
  return finite.load();
}

void weighted_sum_with(std::span<const UpdateView> updates, std::span<const double> coeffs,
                       const double* base, double* out, simd::Target target) {
  if (updates.empty()) return;
  const size_t d = updates[0].size();
  // A zero coefficient adds a zero to a sum that starts at +0.0: leaving it out changes no bit.
  std::vector<UpdateView> used;
  std::vector<double> used_coeffs;
  for (size_t k = 0; k < updates.size(); ++k) {
    if (coeffs[k] == 0.0) continue;
    used.push_back(updates[k]);
    used_coeffs.push_back(coeffs[k]);
  }
  const size_t n = used.size();
  if (n == 0) {
    std::fill(out, out + d, 0.0);
    return;
  }
  const auto run = kernels_for(target).weighted_sum;
  constexpr size_t kTile = 2048;  // doubles of output that stay in L1 while every update is added
  bool contiguous = true;
  for (const UpdateView& u : used) contiguous = contiguous && u.contiguous();
  const size_t cols = std::max<size_t>(used[0].cols, 1);
  parallel::parallel_for((d + kTile - 1) / kTile, 16, [&](size_t begin, size_t end) {
    std::vector<const float*> src(n);
    for (size_t tile = begin; tile < end; ++tile) {
      // Runs that are contiguous in every update: the whole tile, or its pieces within a row.
      for (size_t lo = tile * kTile, hi = std::min(d, lo + kTile); lo < hi;) {
        const size_t run_end = contiguous ? hi : std::min(hi, (lo / cols + 1) * cols);
        for (size_t k = 0; k < n; ++k) {
          src[k] = contiguous ? used[k].data + lo : used[k].row(lo / cols) + lo % cols;
        }
        run(src.data(), used_coeffs.data(), n, base == nullptr ? nullptr : base + lo,
            run_end - lo, out + lo);
        lo = run_end;
      }
    }
  });
}

}  // namespace detail

bool average_lists_f64(std::span<const UpdateView> updates, std::span<const uint32_t> offsets,
                       std::span<const uint32_t> members, UpdateStack& out) {
  return detail::average_lists_with(updates, offsets, members, out, simd::best_target());
}

void weighted_sum_f64(std::span<const UpdateView> updates, std::span<const double> coeffs,
                      const double* base, double* out) {
  detail::weighted_sum_with(updates, coeffs, base, out, simd::best_target());
}

}  // namespace fenro::math
