#include "fenro/aggregators/krum.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <memory>

#include "fenro/aggregators/bfp16_kernels.h"
#include "fenro/aggregators/krum_kernels.h"
#include "fenro/parallel/pool.h"
#include "fenro/simd/cpu.h"
#include "fenro/update/element_runs.h"
#include "fenro/update/pieces.h"

namespace fenro::aggregators {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
__extension__ typedef __int128 Int128;

// Distances and scores are sums of non-negative terms, so the saturating running sum equals
// min(exact sum, MAX) whatever the order of the terms.
inline int64_t add_sat(int64_t acc, int64_t x) { return acc > kMax - x ? kMax : acc + x; }

// k smallest of `d` (modified), summed with saturation; all of them when fewer than k.
int64_t sum_smallest(std::vector<int64_t>& d, size_t k) {
  if (k < d.size())
    std::nth_element(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(k), d.end());
  const size_t take = std::min(k, d.size());
  int64_t s = 0;
  for (size_t t = 0; t < take; ++t) s = add_sat(s, d[t]);
  return s;
}

// dist(a, b) from the Gram entries gaa = a.a, gbb = b.b, gab = a.b of the raw mantissas.
// Aligning a by s = ea - eb >= 0 bits gives |2^s a - b|^2 = 4^s gaa + gbb - 2^(s+1) gab, exact in
// 128 bits (|g| < 2^62, s <= 15), and the exact value is never negative.
inline int64_t dist_from_gram(int64_t gaa, int64_t gbb, int64_t gab, int ea, int eb) {
  const int d = ea - eb;
  if (d >= 16 || d <= -16) return kMax;
  Int128 r;
  if (d >= 0) {
    r = static_cast<Int128>(gaa) * (Int128{1} << (2 * d)) + gbb -
        static_cast<Int128>(gab) * (Int128{1} << (d + 1));
  } else {
    r = static_cast<Int128>(gbb) * (Int128{1} << (-2 * d)) + gaa -
        static_cast<Int128>(gab) * (Int128{1} << (1 - d));
  }
  return r > kMax ? kMax : static_cast<int64_t>(r);
}

// The tile(s) one score computation uses. The integer tile is always there: the row-tile
// arrangement computes its squared norms with it.
struct GramKernel {
  detail::DotTileFn tile = &detail::dot_tile_scalar;
  detail::PanelGramFn panels = nullptr;  // when set, the Gram loop runs on float64 panels
};

// Which tile kAuto takes, from the scores timed on both (CPU time, best of several; 1000 x 1000
// updates):
//  - AVX-512 on a core with full-width 512-bit FMAs (an AVX-512 Xeon): the panel blocks from
//    20 updates on when the chunks are encoded on the fly (equal
//    at 16, 8% faster at 24 to 50, 10% at 200; 37% slower at 10, where the per-chunk costs
//    weigh more), and from 64 on when they are widened from stored encodings, which then come
//    from memory at 2 bytes per element instead of 4 (5% faster at 75, 17% at 200; 7% slower
//    at 50);
//  - AVX-512 on a core that splits 512-bit FMAs in two (an AVX-512 EPYC, Zen 4): the integer
//    tile, at 33 multiply-adds per ns against the panels' 21 (n = 50, one thread);
//  - AVX2: always the integer tile. On that core it runs at 7 multiply-adds per cycle, which
//    the 4-lane panel blocks, 8 at their very best, do not beat (10% slower at 50, 25% at 200);
//    cores whose FMA pipes are 128 bits wide have half that peak.
constexpr size_t kPanelMinUpdatesFused = 20;
constexpr size_t kPanelMinUpdatesEncoded = 64;

GramKernel kernel_for(simd::Target target, size_t n, detail::GramTile choice, bool fused) {
  GramKernel k;
#if defined(FENRO_X86)
  if (target == simd::Target::kScalar) return k;
  k.tile = &detail::dot_tile_avx2;
  const size_t min_updates = fused ? kPanelMinUpdatesFused : kPanelMinUpdatesEncoded;
  const bool panels = choice == detail::GramTile::kPanel ||
                      (choice == detail::GramTile::kAuto &&
                       target == simd::Target::kAvx512 && simd::full_width_512_fma() &&
                       n >= min_updates);
  if (!panels) return k;
  k.panels = target == simd::Target::kAvx512 ? &detail::panel_gram_avx512
                                             : &detail::panel_gram_avx2;
#else
  (void)target;
  (void)n;
  (void)choice;
  (void)fused;
#endif
  return k;
}

// Bytes of L2 that one element chunk of all n encodings may take as 16-bit mantissas: the
// integer Gram loop then streams each encoding from memory once and reuses it n times from
// cache.
constexpr size_t kChunkBytes = size_t{448} << 10;
// Elements of one float64 panel chunk: short enough that a block's rows stay in L1 while the
// other rows stream from L2, long enough to pay for each block's final lane sums.
constexpr size_t kPanelChunk = 384;

size_t chunk_elems(size_t n, const GramKernel& kernel) {
  if (kernel.panels) return kPanelChunk;
  size_t c = kChunkBytes / (sizeof(int16_t) * std::max<size_t>(n, 1));
  c = std::clamp<size_t>(c, 256, 8192);
  return c & ~size_t{15};
}

// Float64 panel scratch of one worker: n rows of `stride` doubles, each row 64-byte aligned.
class Panel {
 public:
  Panel(size_t n, size_t stride)
      : stride_(stride),
        raw_(new double[n * stride + detail::kPanelAlign]),
        rows_(reinterpret_cast<double*>((reinterpret_cast<uintptr_t>(raw_.get()) + 63) &
                                        ~uintptr_t{63})) {}
  size_t stride() const { return stride_; }
  double* row(size_t i) const { return rows_ + i * stride_; }
  const double* data() const { return rows_; }

 private:
  size_t stride_;
  std::unique_ptr<double[]> raw_;
  double* rows_;
};

// One element chunk [off, off + clen) on float64 panels: adds its Gram sums for rows
// [row_lo, row_hi) to `acc` (see gram_rows). While it computes, the input of the worker's next
// chunk [next_off, next_off + next_len) is prefetched: a chunk row is too short for the hardware
// to detect the stream in time. `lines` is scratch for the prefetch addresses.
template <class Source>
void panel_chunk(const Source& src, size_t n, size_t off, size_t clen, size_t next_off,
                 size_t next_len, size_t row_lo, size_t row_hi, bool upper,
                 const GramKernel& kernel, const Panel& panel, int64_t* acc,
                 std::vector<const void*>& lines) {
  // The padding zeros add nothing to any sum.
  const size_t plen = (clen + detail::kPanelAlign - 1) & ~(detail::kPanelAlign - 1);
  for (size_t i = 0; i < n; ++i) {
    double* dst = panel.row(i);
    src.doubles(i, off, clen, dst);
    std::fill(dst + clen, dst + plen, 0.0);
  }
  lines.clear();
  if (next_len > 0) {
    for (size_t i = 0; i < n; ++i) src.lines(i, next_off, next_len, lines);
  }
  kernel.panels(panel.data(), n, panel.stride(), plen, row_lo, row_hi, upper, acc, lines.data(),
                lines.size());
}

// One element chunk [off, off + clen) on the integer tile; `enc` and `scratch` have room for n
// pointers and n x chunk mantissas.
template <class Source>
void integer_chunk(const Source& src, size_t n, size_t off, size_t clen, size_t row_lo,
                   size_t row_hi, bool upper, const GramKernel& kernel, size_t chunk,
                   int16_t* scratch, const int16_t** enc, int64_t* acc) {
  const size_t vlen = clen & ~size_t{15};
  for (size_t i = 0; i < n; ++i) enc[i] = src.mantissas(i, off, clen, scratch + i * chunk);
  for (size_t i = row_lo; i < row_hi; i += 2) {
    const size_t i1 = std::min(i + 1, row_hi - 1);
    for (size_t j = upper ? i : 0; j < n; j += 2) {
      const size_t j1 = std::min(j + 1, n - 1);
      const int16_t* pa[2] = {enc[i], enc[i1]};
      const int16_t* pb[2] = {enc[j], enc[j1]};
      int64_t out[4];
      kernel.tile(pa[0], pa[1], pb[0], pb[1], vlen, out);
      for (size_t t = vlen; t < clen; ++t) {  // the last chunk's tail
        out[0] += int32_t{pa[0][t]} * pb[0][t];
        out[1] += int32_t{pa[0][t]} * pb[1][t];
        out[2] += int32_t{pa[1][t]} * pb[0][t];
        out[3] += int32_t{pa[1][t]} * pb[1][t];
      }
      int64_t* r0 = acc + (i - row_lo) * n;
      int64_t* r1 = acc + (i1 - row_lo) * n;
      r0[j] += out[0];
      if (j1 != j) r0[j1] += out[1];
      if (i1 != i) {
        if (!upper || j >= i1) r1[j] += out[2];
        if (j1 != j) r1[j1] += out[3];
      }
    }
  }
}

// Adds to table[(i - row_lo) * n + j] the dot product of encodings i and j over all elements,
// for rows i in [row_lo, row_hi) and every column j (j >= i only when `upper`, used when the
// rows are all n). The element range is cut into cache-sized chunks that `tasks` workers claim
// in any order, each into its own table; the tables are summed at the end. Integer sums make the
// result independent of the split, of the schedule and of the tile.
//
// `src` supplies the mantissas of encoding i over elements [off, off + clen), so that encodings
// need not exist in memory as a whole: src.mantissas(i, off, clen, scratch) returns them in
// place or written to `scratch` (room for clen values, a worker's own),
// src.doubles(i, off, clen, dst) writes them to dst as doubles, and src.lines(i, off, clen, out)
// appends to `out` the addresses of the cache lines those two will read.
template <class Source>
void gram_rows(size_t n, const Source& src, size_t len, size_t row_lo, size_t row_hi,
               bool upper, const GramKernel& kernel, size_t tasks, int64_t* table) {
  const size_t rows = row_hi - row_lo;
  const size_t cells = rows * n;
  const size_t chunk = chunk_elems(n, kernel);
  const size_t chunks = (len + chunk - 1) / chunk;
  tasks = std::max<size_t>(1, std::min(tasks, chunks));
  std::vector<std::unique_ptr<int64_t[]>> extra(tasks);
  std::memset(table, 0, cells * sizeof(int64_t));
  std::atomic<size_t> next{0};

  parallel::parallel_for(tasks, 1, [&](size_t b, size_t e) {
    for (size_t task = b; task < e; ++task) {
      int64_t* acc = table;
      if (task > 0) {
        extra[task].reset(new int64_t[cells]());
        acc = extra[task].get();
      }
      std::unique_ptr<int16_t[]> scratch;
      std::unique_ptr<Panel> panel;
      std::vector<const void*> lines;
      std::vector<const int16_t*> enc(n);
      // Each worker claims its next chunk before computing the current one, so that the panel
      // path can prefetch it.
      for (size_t c = next.fetch_add(1); c < chunks;) {
        const size_t c_next = next.fetch_add(1);
        const size_t off = c * chunk;
        const size_t clen = std::min(chunk, len - off);
        if (kernel.panels) {
          if (!panel) panel = std::make_unique<Panel>(n, chunk);
          const size_t next_off = c_next * chunk;
          const size_t next_len = c_next < chunks ? std::min(chunk, len - next_off) : 0;
          panel_chunk(src, n, off, clen, next_off, next_len, row_lo, row_hi, upper, kernel,
                      *panel, acc, lines);
        } else {
          if (!scratch) scratch.reset(new int16_t[n * chunk]);
          integer_chunk(src, n, off, clen, row_lo, row_hi, upper, kernel, chunk, scratch.get(),
                        enc.data(), acc);
        }
        c = c_next;
      }
    }
  });
  for (size_t task = 1; task < tasks; ++task) {
    if (!extra[task]) continue;
    const int64_t* part = extra[task].get();
    for (size_t t = 0; t < cells; ++t) table[t] += part[t];
  }
}

// The scores of n encodings of `len` elements each with exponents `ex`, from a Gram table (or
// row tiles of it above `table_cap` bytes) of the mantissas that `src` supplies (see
// gram_rows). n >= 1, len <= 2^32.
template <class Source>
std::vector<std::pair<size_t, int64_t>> scores_from(size_t n, size_t len,
                                                    const std::vector<int>& ex, size_t k,
                                                    const GramKernel& kernel, size_t table_cap,
                                                    const Source& src) {
  std::vector<std::pair<size_t, int64_t>> out(n);
  for (size_t i = 0; i < n; ++i) out[i].first = i;

  const size_t threads = parallel::thread_count();
  const size_t table_bytes = n * n * sizeof(int64_t);
  if (n <= SIZE_MAX / n / sizeof(int64_t) && table_bytes <= table_cap) {
    // Whole upper-triangular Gram table: every unordered pair once, each encoding streamed
    // from memory once. Extra per-task tables only while they fit under the cap too.
    const size_t tasks = std::clamp<size_t>(table_cap / table_bytes, 1, threads);
    std::unique_ptr<int64_t[]> g(new int64_t[n * n]);
    if (len > 0) {
      gram_rows(n, src, len, 0, n, /*upper=*/true, kernel, tasks, g.get());
    } else {
      std::memset(g.get(), 0, table_bytes);
    }
    auto at = [&](size_t i, size_t j) { return i <= j ? g[i * n + j] : g[j * n + i]; };
    parallel::parallel_for(n, 8, [&](size_t b, size_t e) {
      std::vector<int64_t> d(n - 1);
      for (size_t i = b; i < e; ++i) {
        size_t t = 0;
        for (size_t j = 0; j < n; ++j) {
          if (j == i) continue;
          d[t++] = len == 0 ? 0 : dist_from_gram(at(i, i), at(j, j), at(i, j), ex[i], ex[j]);
        }
        out[i].second = sum_smallest(d, k);
      }
    });
    return out;
  }

  // Row tiles: the squared norms first, then for each tile of rows its dot products with every
  // encoding (each tile re-reads the encodings), then that tile's scores.
  std::vector<int64_t> norms(n, 0);
  parallel::parallel_for(n, 1, [&](size_t b, size_t e) {
    const size_t chunk = chunk_elems(n, GramKernel{});
    std::unique_ptr<int16_t[]> scratch(new int16_t[chunk]);
    for (size_t j = b; j < e; ++j) {
      for (size_t off = 0; off < len; off += chunk) {
        const size_t clen = std::min(chunk, len - off);
        const size_t vlen = clen & ~size_t{15};
        const int16_t* p = src.mantissas(j, off, clen, scratch.get());
        int64_t o[4];
        kernel.tile(p, p, p, p, vlen, o);
        for (size_t t = vlen; t < clen; ++t) o[0] += int32_t{p[t]} * p[t];
        norms[j] += o[0];
      }
    }
  });
  const size_t per_row = n * sizeof(int64_t) * std::max<size_t>(threads, 1);
  const size_t tile_rows = std::min(n, std::max<size_t>(2, table_cap / per_row));
  std::vector<int64_t> g(tile_rows * n);
  for (size_t lo = 0; lo < n; lo += tile_rows) {
    const size_t hi = std::min(n, lo + tile_rows);
    if (len > 0) {
      gram_rows(n, src, len, lo, hi, /*upper=*/false, kernel, threads, g.data());
    } else {
      std::fill(g.begin(), g.end(), 0);
    }
    parallel::parallel_for(hi - lo, 8, [&](size_t b, size_t e) {
      std::vector<int64_t> d(n - 1);
      for (size_t i = lo + b; i < lo + e; ++i) {
        size_t t = 0;
        for (size_t j = 0; j < n; ++j) {
          if (j == i) continue;
          d[t++] =
              len == 0 ? 0 : dist_from_gram(norms[i], norms[j], g[(i - lo) * n + j], ex[i], ex[j]);
        }
        out[i].second = sum_smallest(d, k);
      }
    });
  }
  return out;
}

// Appends the address of every cache line of bytes [p, p + bytes) to `out`.
void append_lines(const void* p, size_t bytes, std::vector<const void*>& out) {
  if (bytes == 0) return;
  const uintptr_t first = reinterpret_cast<uintptr_t>(p) & ~uintptr_t{63};
  const uintptr_t last = reinterpret_cast<uintptr_t>(p) + bytes - 1;
  for (uintptr_t a = first; a <= last; a += 64) out.push_back(reinterpret_cast<const void*>(a));
}

// Mantissas read from materialised encodings.
struct EncodedSource {
  std::vector<const int16_t*> enc;
  simd::Target target;
  const int16_t* mantissas(size_t i, size_t off, size_t, int16_t*) const { return enc[i] + off; }
  void doubles(size_t i, size_t off, size_t clen, double* dst) const {
#if defined(FENRO_X86)
    if (target != simd::Target::kScalar) {
      detail::widen_avx2(enc[i] + off, clen, dst);
      return;
    }
#endif
    for (size_t t = 0; t < clen; ++t) dst[t] = enc[i][off + t];
  }
  void lines(size_t i, size_t off, size_t clen, std::vector<const void*>& out) const {
    append_lines(enc[i] + off, clen * sizeof(int16_t), out);
  }
};

// Mantissas encoded from the float updates when asked for, exactly as encode_with would.
struct FusedSource {
  std::span<const UpdateView> updates;
  std::vector<detail::BlockScale> scales;
  simd::Target target;
  const int16_t* mantissas(size_t i, size_t off, size_t clen, int16_t* scratch) const {
    detail::encode_range(updates[i], off, off + clen, scales[i], target, scratch);
    return scratch;
  }
  void doubles(size_t i, size_t off, size_t clen, double* dst) const {
    detail::encode_range_f64(updates[i], off, off + clen, scales[i], target, dst);
  }
  void lines(size_t i, size_t off, size_t clen, std::vector<const void*>& out) const {
    const UpdateView& u = updates[i];
    for (size_t t = off, end = off + clen; t < end;) {  // one contiguous run at a time
      const size_t r = t / u.cols, c = t % u.cols;
      const size_t take = u.contiguous() ? end - t : std::min(u.cols - c, end - t);
      append_lines(u.row(r) + c, take * sizeof(float), out);
      t += take;
    }
  }
};

// Mantissas of updates held in pieces, encoded from the pieces' floats when asked for, each
// element exactly as FusedSource encodes it on the concatenated update.
struct PiecedSource {
  const update::Pieces& pieces;
  std::vector<detail::BlockScale> scales;
  simd::Target target;
  const int16_t* mantissas(size_t i, size_t off, size_t clen, int16_t* scratch) const {
    pieces.for_each_part(i, off, off + clen, [&](const UpdateView& u, size_t lo, size_t hi,
                                                  size_t at) {
      detail::encode_range(u, lo, hi, scales[i], target, scratch + at);
    });
    return scratch;
  }
  void doubles(size_t i, size_t off, size_t clen, double* dst) const {
    pieces.for_each_part(i, off, off + clen, [&](const UpdateView& u, size_t lo, size_t hi,
                                                  size_t at) {
      detail::encode_range_f64(u, lo, hi, scales[i], target, dst + at);
    });
  }
  void lines(size_t i, size_t off, size_t clen, std::vector<const void*>& out) const {
    pieces.for_each_part(i, off, off + clen,
                         [&](const UpdateView& u, size_t lo, size_t hi, size_t) {
                           update::for_each_run(u, lo, hi, [&](const float* p, size_t cnt,
                                                               size_t) {
                             append_lines(p, cnt * sizeof(float), out);
                           });
                         });
  }
};

}  // namespace

namespace detail {

int64_t bfp16_distance(const Bfp16Vec& a, const Bfp16Vec& b) {
  const size_t len = a.mantissas.size();
  if (len != b.mantissas.size()) return kMax;
  if (len == 0) return 0;
  const int d = int{a.exponent} - int{b.exponent};
  if (d >= 16 || d <= -16) return kMax;
  const int64_t fa = int64_t{1} << std::max(d, 0), fb = int64_t{1} << std::max(-d, 0);
  int64_t acc = 0;
  for (size_t t = 0; t < len; ++t) {
    const int64_t diff = a.mantissas[t] * fa - b.mantissas[t] * fb;  // |diff| < 2^31
    acc = add_sat(acc, diff * diff);
    if (acc == kMax) break;  // saturation is final
  }
  return acc;
}

void dot_tile_scalar(const int16_t* a0, const int16_t* a1, const int16_t* b0, const int16_t* b1,
                     size_t n, int64_t out[4]) {
  int64_t s00 = 0, s01 = 0, s10 = 0, s11 = 0;
  for (size_t t = 0; t < n; ++t) {
    s00 += int32_t{a0[t]} * b0[t];
    s01 += int32_t{a0[t]} * b1[t];
    s10 += int32_t{a1[t]} * b0[t];
    s11 += int32_t{a1[t]} * b1[t];
  }
  out[0] = s00;
  out[1] = s01;
  out[2] = s10;
  out[3] = s11;
}

std::vector<std::pair<size_t, int64_t>> scores_reference(std::span<const Bfp16Vec> encoded,
                                                         size_t k) {
  const size_t n = encoded.size();
  std::vector<int64_t> s = parallel::parallel_map(n, [&](size_t i) {
    std::vector<int64_t> d;
    d.reserve(n);
    for (size_t j = 0; j < n; ++j)
      if (j != i) d.push_back(bfp16_distance(encoded[i], encoded[j]));
    std::sort(d.begin(), d.end());
    int64_t sum = 0;
    for (size_t t = 0; t < std::min(k, d.size()); ++t) sum = add_sat(sum, d[t]);
    return sum;
  });
  std::vector<std::pair<size_t, int64_t>> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = {i, s[i]};
  return out;
}

std::vector<std::pair<size_t, int64_t>> scores_with(std::span<const Bfp16Vec> encoded, size_t k,
                                                    simd::Target target, size_t table_cap,
                                                    GramTile tile) {
  const size_t n = encoded.size();
  if (n == 0) return {};
  const size_t len = encoded[0].mantissas.size();
  bool same_len = true;
  for (const Bfp16Vec& e : encoded) same_len = same_len && e.mantissas.size() == len;
  // Gram entries stay below len * 2^30; beyond 2^32 elements they could overflow 64 bits.
  // Unequal lengths never reach here from a round (all updates share one shape).
  if (!same_len || len > (size_t{1} << 32)) return scores_reference(encoded, k);

  EncodedSource src{std::vector<const int16_t*>(n), target};
  std::vector<int> ex(n);
  for (size_t i = 0; i < n; ++i) {
    src.enc[i] = encoded[i].mantissas.data();
    ex[i] = encoded[i].exponent;
  }
  return scores_from(n, len, ex, k, kernel_for(target, n, tile, /*fused=*/false), table_cap, src);
}

std::vector<std::pair<size_t, int64_t>> scores_fused_with(std::span<const UpdateView> updates,
                                                          size_t k, simd::Target target,
                                                          size_t table_cap, GramTile tile) {
  const size_t n = updates.size();
  if (n == 0) return {};
  const size_t len = updates[0].size();
  bool same_len = true;
  for (const UpdateView& u : updates) same_len = same_len && u.size() == len;
  // Rounds never get here with mixed shapes; the materialised path covers them (and lengths
  // whose Gram entries could overflow) with the per-client computation.
  if (!same_len || len > (size_t{1} << 32)) {
    return scores_with(encode_with(updates, target), k, target, table_cap, tile);
  }
  const FusedSource src{updates, block_scales_with(updates, target), target};
  std::vector<int> ex(n);
  for (size_t i = 0; i < n; ++i) ex[i] = src.scales[i].exponent;
  return scores_from(n, len, ex, k, kernel_for(target, n, tile, /*fused=*/true), table_cap, src);
}

PairDistances distances_fused_with(std::span<const UpdateView> updates, simd::Target target) {
  const size_t n = updates.size();
  PairDistances result{std::vector<int64_t>(n * n, 0), false};
  std::vector<int64_t>& out = result.table;
  if (n == 0) return result;
  const size_t len = updates[0].size();
  bool same_len = true;
  for (const UpdateView& u : updates) same_len = same_len && u.size() == len;
  if (!same_len || len > (size_t{1} << 32)) {
    const std::vector<Bfp16Vec> enc = encode_with(updates, target);
    parallel::parallel_for(n, 1, [&](size_t b, size_t e) {
      for (size_t i = b; i < e; ++i)
        for (size_t j = 0; j < n; ++j) out[i * n + j] = bfp16_distance(enc[i], enc[j]);
    });
    return result;
  }
  if (len == 0) return result;
  const FusedSource src{updates, block_scales_with(updates, target), target};
  result.finite = true;
  for (const auto& s : src.scales) result.finite = result.finite && s.finite;
  const size_t tasks =
      std::clamp<size_t>(kDefaultTableCap / (n * n * sizeof(int64_t)), 1, parallel::thread_count());
  std::unique_ptr<int64_t[]> g(new int64_t[n * n]);
  gram_rows(n, src, len, 0, n, /*upper=*/true, kernel_for(target, n, GramTile::kAuto, /*fused=*/true),
            tasks, g.get());
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = i + 1; j < n; ++j) {
      out[i * n + j] = out[j * n + i] = dist_from_gram(g[i * n + i], g[j * n + j], g[i * n + j],
                                                       src.scales[i].exponent, src.scales[j].exponent);
    }
  }
  return result;
}

std::vector<int64_t> gram_with_scales(std::span<const UpdateView> updates,
                                      std::span<const BlockScale> scales, simd::Target target) {
  const size_t n = updates.size();
  std::vector<int64_t> table(n * n, 0);
  if (n == 0 || updates[0].size() == 0) return table;
  const FusedSource src{updates, std::vector<BlockScale>(scales.begin(), scales.end()), target};
  const size_t tasks =
      std::clamp<size_t>(kDefaultTableCap / (n * n * sizeof(int64_t)), 1, parallel::thread_count());
  gram_rows(n, src, updates[0].size(), 0, n, /*upper=*/true,
            kernel_for(target, n, GramTile::kAuto, /*fused=*/true), tasks, table.data());
  return table;
}

std::vector<std::pair<size_t, int64_t>> compute_krum_scores_bfp16(std::span<const Bfp16Vec> encoded,
                                                                  size_t k) {
  return scores_with(encoded, k, simd::best_target(), kDefaultTableCap);
}

}  // namespace detail

namespace {

// Krum over n candidates whose scores for a given k come from `scores_for(k)`.
template <class ScoresFor>
std::optional<size_t> select_krum(size_t n, size_t f, const ScoresFor& scores_for) {
  if (n < krum_quorum(f)) return std::nullopt;
  return krum_pick(scores_for(n - f - 2));
}

template <class ScoresFor>
std::optional<std::vector<size_t>> select_multi_krum(size_t n, size_t f, size_t m,
                                                     const ScoresFor& scores_for) {
  if (m == 0) return std::nullopt;
  // n >= 2f + 3 makes n - 2f - 2 >= 1 well defined; below it every m is refused anyway.
  if (n < krum_quorum(f)) return std::nullopt;
  if (m > n - 2 * f - 2) return std::nullopt;
  return multi_krum_pick(scores_for(n - f - 2), m);
}

}  // namespace

namespace detail {

std::optional<size_t> aggregate_krum_bfp16(std::span<const Bfp16Vec> encoded, size_t f) {
  return select_krum(encoded.size(), f,
                     [&](size_t k) { return compute_krum_scores_bfp16(encoded, k); });
}

std::optional<std::vector<size_t>> aggregate_multi_krum_bfp16(std::span<const Bfp16Vec> encoded,
                                                              size_t f, size_t m) {
  return select_multi_krum(encoded.size(), f, m,
                           [&](size_t k) { return compute_krum_scores_bfp16(encoded, k); });
}

}  // namespace detail

KrumScores krum_scores(std::span<const UpdateView> updates, size_t k) {
  return detail::scores_fused_with(updates, k, simd::best_target(), detail::kDefaultTableCap);
}

size_t krum_pick(const KrumScores& scores) {
  size_t best = 0;
  for (size_t i = 1; i < scores.size(); ++i)
    if (scores[i].second < scores[best].second) best = i;  // strict: lowest index wins ties
  return scores[best].first;
}

std::vector<size_t> multi_krum_pick(KrumScores scores, size_t m) {
  // Stable by score = ordered by (score, index), since the pairs arrive in ascending index.
  auto by_score = [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second < b.second : a.first < b.first;
  };
  std::partial_sort(scores.begin(), scores.begin() + static_cast<std::ptrdiff_t>(m), scores.end(),
                    by_score);
  std::vector<size_t> picked(m);
  for (size_t t = 0; t < m; ++t) picked[t] = scores[t].first;
  return picked;
}

Result<uint64_t> multi_krum_count(uint64_t n, uint64_t f, std::optional<uint64_t> m) {
  const uint64_t max = n - 2 * f - 2;  // n >= 2f + 3, so no wrap-around
  const uint64_t count = m.value_or(std::min<uint64_t>(max, 3));
  if (count < 1 || count > max) return error::MultiKrumSelectionTooLarge{n, f, count, max};
  return count;
}

namespace {

// The source of the pieces' mantissas, each update's shared exponent set as
// block_scales_with sets it on the whole update from its largest magnitude.
PiecedSource pieced_source(const update::Pieces& pieces, std::span<const float> max_abs) {
  PiecedSource src{pieces, std::vector<detail::BlockScale>(pieces.count()), simd::best_target()};
  for (size_t i = 0; i < pieces.count(); ++i) {
    detail::BlockScale& s = src.scales[i];
    if (max_abs[i] > 0.0f) {
      s.exponent = detail::exponent_for(max_abs[i]);
      s.scale = detail::scale_for(s.exponent);
    }
    s.finite = true;
  }
  return src;
}

// The whole encodings, for lengths whose Gram entries could overflow 64 bits.
std::vector<Bfp16Vec> whole_encodings(const PiecedSource& src) {
  const size_t n = src.pieces.count(), len = src.pieces.size();
  std::vector<Bfp16Vec> enc(n);
  for (size_t i = 0; i < n; ++i) {
    enc[i].exponent = src.scales[i].exponent;
    enc[i].mantissas.resize(len);
    src.mantissas(i, 0, len, enc[i].mantissas.data());
  }
  return enc;
}

}  // namespace

KrumScores krum_scores(const update::Pieces& pieces, std::span<const float> max_abs, size_t k) {
  const size_t n = pieces.count();
  if (n == 0) return {};
  const PiecedSource src = pieced_source(pieces, max_abs);
  const size_t len = pieces.size();
  if (len > (size_t{1} << 32)) return detail::scores_reference(whole_encodings(src), k);
  std::vector<int> ex(n);
  for (size_t i = 0; i < n; ++i) ex[i] = src.scales[i].exponent;
  return scores_from(n, len, ex, k,
                     kernel_for(src.target, n, detail::GramTile::kAuto, /*fused=*/true),
                     detail::kDefaultTableCap, src);
}

std::vector<int64_t> pair_distances(const update::Pieces& pieces,
                                    std::span<const float> max_abs) {
  const size_t n = pieces.count(), len = pieces.size();
  std::vector<int64_t> out(n * n, 0);
  if (n == 0 || len == 0) return out;
  const PiecedSource src = pieced_source(pieces, max_abs);
  if (len > (size_t{1} << 32)) {
    const std::vector<Bfp16Vec> enc = whole_encodings(src);
    parallel::parallel_for(n, 1, [&](size_t b, size_t e) {
      for (size_t i = b; i < e; ++i)
        for (size_t j = 0; j < n; ++j) out[i * n + j] = detail::bfp16_distance(enc[i], enc[j]);
    });
    return out;
  }
  const size_t tasks = std::clamp<size_t>(detail::kDefaultTableCap / (n * n * sizeof(int64_t)), 1,
                                          parallel::thread_count());
  std::unique_ptr<int64_t[]> g(new int64_t[n * n]);
  gram_rows(n, src, len, 0, n, /*upper=*/true,
            kernel_for(src.target, n, detail::GramTile::kAuto, /*fused=*/true), tasks, g.get());
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = i + 1; j < n; ++j) {
      out[i * n + j] = out[j * n + i] = dist_from_gram(g[i * n + i], g[j * n + j], g[i * n + j],
                                                       src.scales[i].exponent,
                                                       src.scales[j].exponent);
    }
  }
  return out;
}

std::optional<size_t> krum_select(const update::Pieces& pieces, std::span<const float> max_abs,
                                  size_t f) {
  return select_krum(pieces.count(), f,
                     [&](size_t k) { return krum_scores(pieces, max_abs, k); });
}

std::optional<std::vector<size_t>> multi_krum_select(const update::Pieces& pieces,
                                                     std::span<const float> max_abs, size_t f,
                                                     size_t m) {
  return select_multi_krum(pieces.count(), f, m,
                           [&](size_t k) { return krum_scores(pieces, max_abs, k); });
}

std::optional<size_t> krum_select(std::span<const UpdateView> updates, size_t f) {
  return select_krum(updates.size(), f, [&](size_t k) { return krum_scores(updates, k); });
}

std::optional<std::vector<size_t>> multi_krum_select(std::span<const UpdateView> updates,
                                                     size_t f, size_t m) {
  return select_multi_krum(updates.size(), f, m,
                           [&](size_t k) { return krum_scores(updates, k); });
}

}  // namespace fenro::aggregators
