#include "fenro/math/distances.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <optional>
#include <cstdint>
#include <utility>

#include "fenro/math/f64_kernels.h"
#include "fenro/parallel/pool.h"
#include "fenro/update/element_runs.h"

namespace fenro::math {
namespace detail {
namespace {

// Elements per chunk: the float64 chunk of all (padded) updates takes about 512 KB, leaving
// room in L2 for the table rows and the next chunk's input. The sums are sequential, so the
// choice changes only the speed.
size_t chunk_elems(size_t padded) {
  return std::clamp<size_t>((size_t{1} << 16) / padded, 16, 4096) & ~size_t{15};
}

}  // namespace

std::vector<double> pairwise_sq_distances_with(std::span<const UpdateView> updates,
                                               simd::Target target) {
  const size_t n = updates.size();
  if (n == 0) return {};
  const size_t d = updates[0].size();
  assert(std::all_of(updates.begin(), updates.end(),
                     [&](const UpdateView& u) { return u.same_shape(updates[0]); }));
  const size_t groups = (n + kPairGroup - 1) / kPairGroup;
  const size_t padded = groups * kPairGroup;
  // Running sums, row i holding columns j >= i (and a few j < i of its first group, unused).
  std::vector<double> table(n * padded, -0.0);
  const size_t chunk = chunk_elems(padded);
  const size_t row_blocks = (n + kPairRows - 1) / kPairRows;
  const size_t tasks = std::min(parallel::thread_count(), row_blocks);
  const Kernels& kernels = kernels_for(target);
  bool contiguous = true;
  for (const UpdateView& u : updates) contiguous = contiguous && u.contiguous();
  const std::vector<float> zeros(chunk, 0.0f);  // the columns of padding updates

  // Task `task` owns row blocks task, task + tasks, ...: every task walks all chunks in order,
  // so each table entry is one sequential sum whatever the number of tasks. The interleaving
  // balances the triangle; each task converts the columns its rows need (groups from its first
  // row on) into its own chunk buffer.
  parallel::parallel_for(tasks, 1, [&](size_t begin, size_t end) {
    for (size_t task = begin; task < end; ++task) {
      const size_t g_min = task * kPairRows / kPairGroup;
      const auto tile = aligned_doubles(padded * chunk);
      // Strided updates are copied chunk by chunk into a dense buffer first.
      std::vector<float> dense(contiguous ? 0 : padded * chunk);
      for (size_t c0 = 0; c0 < d; c0 += chunk) {
        const size_t len = std::min(chunk, d - c0);
        for (size_t g = g_min; g < groups; ++g) {
          const float* src[kPairGroup];
          for (size_t l = 0; l < kPairGroup; ++l) {
            const size_t j = g * kPairGroup + l;
            if (j >= n) {
              src[l] = zeros.data();
            } else if (contiguous) {
              src[l] = updates[j].data + c0;
            } else {
              float* buf = dense.data() + j * chunk;
              update::for_each_run(updates[j], c0, c0 + len, [&](const float* p, size_t count, size_t at) {
                std::copy(p, p + count, buf + (at - c0));
              });
              src[l] = buf;
            }
          }
          kernels.pair_fill(src, len, tile.get() + g * chunk * kPairGroup);
        }
        const PairJob job{tile.get(), len, chunk, groups, table.data(), padded};
        for (size_t rb = task; rb < row_blocks; rb += tasks) {
          size_t rows[kPairRows];
          for (size_t r = 0; r < kPairRows; ++r) rows[r] = std::min(rb * kPairRows + r, n - 1);
          kernels.pair_rows(job, rows, rb * kPairRows / kPairGroup);
        }
      }
    }
  });

  std::vector<double> out(n * n);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < n; ++j) out[i * n + j] = j >= i ? table[i * padded + j] : table[j * padded + i];
  }
  return out;
}

std::vector<double> gram_with(std::span<const UpdateView> updates, simd::Target target,
                              size_t* depth) {
  const size_t n = updates.size();
  const size_t d = n == 0 ? 0 : updates[0].size();
  // Elements per chunk: the float64 chunk of all n updates takes about 512 KB of L2.
  const size_t chunk = std::clamp<size_t>((size_t{1} << 16) / std::max<size_t>(n, 1), 64, 4096) &
                       ~(kGramLanes - 1);
  const size_t chunks = (d + chunk - 1) / chunk;
  // Chunk c adds into partial table c % kParts; the parts are summed in order at the end, so the
  // table does not depend on the number of threads, and each chunk is converted once.
  constexpr size_t kParts = 8;
  const size_t parts = std::max<size_t>(1, std::min(kParts, chunks));
  // A product passes through chunk / 8 lane additions, the lane tree, one addition per chunk of
  // its part, and the sum of the parts.
  *depth = chunk / kGramLanes + 3 + chunks + parts;
  std::vector<double> table(n * n, 0.0);
  if (n == 0 || d == 0) return table;
  const Kernels& kernels = kernels_for(target);
  const size_t blocks = (n + kGramBlock - 1) / kGramBlock;
  std::vector<std::vector<double>> partial(parts);
  parallel::parallel_for(parts, 1, [&](size_t begin, size_t end) {
    const auto tile = aligned_doubles(n * chunk);
    for (size_t part = begin; part < end; ++part) {
      partial[part].assign(n * n, 0.0);
      for (size_t c = part; c < chunks; c += parts) {
        const size_t c0 = c * chunk, len = std::min(chunk, d - c0);
        const size_t padded = (len + kGramLanes - 1) & ~(kGramLanes - 1);
        for (size_t j = 0; j < n; ++j) {
          double* row = tile.get() + j * chunk;
          update::for_each_run(updates[j], c0, c0 + len, [&](const float* p, size_t count, size_t at) {
            // Blocks of kMixBlock doubles kMixBlock apart: one contiguous row.
            (void)kernels.mix_fill(p, count, row + (at - c0), kMixBlock);
          });
          for (size_t t = len; t < padded; ++t) row[t] = 0.0;
        }
        const GramJob job{tile.get(), padded, chunk, partial[part].data(), n};
        for (size_t rb = 0; rb < blocks; ++rb) {
          size_t rows[kGramBlock], cols[kGramBlock];
          for (size_t r = 0; r < kGramBlock; ++r) rows[r] = std::min(rb * kGramBlock + r, n - 1);
          for (size_t cb = rb; cb < blocks; ++cb) {
            for (size_t k = 0; k < kGramBlock; ++k) cols[k] = std::min(cb * kGramBlock + k, n - 1);
            kernels.gram_block(job, rows, cols);
          }
        }
      }
    }
  });
  for (size_t part = 0; part < parts; ++part)
    for (size_t i = 0; i < n; ++i)
      for (size_t j = i; j < n; ++j) table[i * n + j] += partial[part][i * n + j];
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < i; ++j) table[i * n + j] = table[j * n + i];
  return table;
}

std::optional<std::vector<uint32_t>> nearest_with(std::span<const UpdateView> updates, size_t k,
                                                  simd::Target target) {
  const size_t n = updates.size();
  if (n == 0 || k == 0) return std::vector<uint32_t>(n * k);
  const size_t d = updates[0].size();
  size_t depth = 0;
  const std::vector<double> gram = gram_with(updates, target, &depth);
  // A sum of squares of finite float32 values is finite in float64; anything else means a NaN
  // or an infinity, under which no ranking is meaningful.
  for (size_t i = 0; i < n; ++i) {
    if (!std::isfinite(gram[i * n + i])) return std::nullopt;
  }
  // |approximate - sequential| <= eps * (G_ii + G_jj): the Gram sums err by at most
  // depth * u times the sum of |products| <= (|x_i|^2 + |x_j|^2) / 2 each, the sequential sum by
  // (d + 2) * u times at most 2 (|x_i|^2 + |x_j|^2), plus the final roundings; generous factors
  // cover the second-order terms.
  constexpr double u = 0x1p-53;
  const double eps = 1.25 * u * (2.0 * static_cast<double>(depth) + 2.0 * static_cast<double>(d + 2) + 8.0);
  std::vector<double> lo(n * n), hi(n * n);
  for (size_t i = 0; i < n; ++i) {
    const double gii = gram[i * n + i];
    for (size_t j = 0; j < n; ++j) {
      const double gjj = gram[j * n + j];
      const double approx = std::max(0.0, (gii + gjj) - 2.0 * gram[i * n + j]);
      const double err = j == i ? 0.0 : eps * (gii + gjj);  // a distance to itself is 0 exactly
      lo[i * n + j] = j == i ? 0.0 : approx - err;
      hi[i * n + j] = j == i ? 0.0 : approx + err;
    }
  }
  // Exact distances for the unsure pairs: the exact pairwise table of the updates involved
  // (usually none, or a handful).
  auto exact = [&](std::span<const std::pair<uint32_t, uint32_t>> pairs)
      -> Result<std::vector<double>> {
    std::vector<size_t> index(n, SIZE_MAX);
    std::vector<UpdateView> subset;
    for (const auto& [i, j] : pairs) {
      for (uint32_t t : {i, j}) {
        if (index[t] != SIZE_MAX) continue;
        index[t] = subset.size();
        subset.push_back(updates[t]);
      }
    }
    const std::vector<double> table = pairwise_sq_distances_with(subset, target);
    std::vector<double> out;
    for (const auto& [i, j] : pairs) out.push_back(table[index[i] * subset.size() + index[j]]);
    return out;
  };
  auto ranked = nearest_from_bounds(n, k, lo, hi, exact);
  assert(ranked.ok());
  return std::move(ranked).value();
}

}  // namespace detail

Result<std::vector<uint32_t>> nearest_from_bounds(size_t n, size_t k, std::span<const double> lo,
                                                  std::span<const double> hi,
                                                  const ExactPairs& exact) {
  std::vector<uint32_t> out(n * k);
  if (n == 0 || k == 0) return out;
  std::vector<std::vector<uint32_t>> unsure(n);  // per row, candidates the bounds cannot place
  std::vector<std::vector<uint32_t>> sure(n);    // per row, candidates certainly among the k
  parallel::parallel_for(n, 8, [&](size_t begin, size_t end) {
    std::vector<double> sorted(n);
    for (size_t i = begin; i < end; ++i) {
      const double* row_lo = lo.data() + i * n;
      const double* row_hi = hi.data() + i * n;
      // The k-th smallest exact distance lies in [a, b].
      sorted.assign(row_lo, row_lo + n);
      std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(k - 1), sorted.end());
      const double a = sorted[k - 1];
      sorted.assign(row_hi, row_hi + n);
      std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(k - 1), sorted.end());
      const double b = sorted[k - 1];
      for (uint32_t j = 0; j < n; ++j) {
        if (row_hi[j] < a) {
          sure[i].push_back(j);
        } else if (!(row_lo[j] > b)) {
          unsure[i].push_back(j);
        }
      }
      // Exactly as many unsure candidates as free places (the usual case: the one at the
      // boundary): all of them are in, whatever their order.
      if (sure[i].size() + unsure[i].size() == k) {
        sure[i].insert(sure[i].end(), unsure[i].begin(), unsure[i].end());
        unsure[i].clear();
      }
    }
  });
  std::vector<std::pair<uint32_t, uint32_t>> pairs;
  for (size_t i = 0; i < n; ++i) {
    for (uint32_t j : unsure[i]) pairs.push_back({static_cast<uint32_t>(i), j});
  }
  std::vector<double> values;
  if (!pairs.empty()) {
    auto got = exact(pairs);
    if (!got.ok()) return std::move(got).error();
    values = std::move(got).value();
    assert(values.size() == pairs.size());
  }
  std::vector<size_t> first(n + 1, 0);  // row i's pairs at [first[i], first[i + 1])
  for (size_t i = 0; i < n; ++i) first[i + 1] = first[i] + unsure[i].size();
  parallel::parallel_for(n, 1, [&](size_t begin, size_t end) {
    std::vector<std::pair<double, uint32_t>> ranked;
    for (size_t i = begin; i < end; ++i) {
      ranked.clear();
      for (size_t p = first[i]; p < first[i + 1]; ++p) ranked.push_back({values[p], pairs[p].second});
      const size_t need = k - sure[i].size();
      std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(need), ranked.end());
      uint32_t* row = out.data() + i * k;
      std::copy(sure[i].begin(), sure[i].end(), row);
      for (size_t r = 0; r < need; ++r) row[sure[i].size() + r] = ranked[r].second;
      std::sort(row, row + k);
    }
  });
  return out;
}

std::optional<std::vector<uint32_t>> nearest_f64(std::span<const UpdateView> updates, size_t k) {
  return detail::nearest_with(updates, k, simd::best_target());
}

std::vector<double> pairwise_sq_distances_f64(std::span<const UpdateView> updates) {
  return detail::pairwise_sq_distances_with(updates, simd::best_target());
}

}  // namespace fenro::math
