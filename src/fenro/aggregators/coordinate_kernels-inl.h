// Tile loops of the selection kernels (median, trimmed mean) and of fedavg, generic over a
// vector type. Included once per SIMD target, inside that target's own namespace, by
// coordinate_kernels_<target>.cc; it must contain nothing but code of that namespace (no
// standard-library templates), so no inline symbol is shared between targets.
//
// `Ops` provides: V, kLanes, load (unaligned), store, min, max, add, sub, mul, div, set1.
// Every operation is an exact IEEE float32 operation lane by lane, so each target computes
// bit for bit what the scalar one does.
//
// Requires before inclusion: <cstddef>, <cstdint>, <cstring> and coordinate_kernels.h.
//
// A tile of T coordinates keeps slot k (the k-th value of every coordinate) at
// k * slot_floats_of(T) floats from its start.

inline size_t min_size(size_t a, size_t b) { return a < b ? a : b; }
inline bool is_finite(float x) { return x - x == 0.0f; }  // false for inf and NaN
inline bool sign_bit(float x) {
  uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  return (b >> 31) != 0;
}

// Pointer to coordinate c of update k.
inline const float* coord_ptr(const Inputs& in, size_t k, size_t c) {
  if (in.contiguous) return in.bases[k] + c;
  return in.bases[k] + static_cast<std::ptrdiff_t>(c / in.cols) * in.strides[k] + c % in.cols;
}

// Copies coordinates [c0, c0 + len) of every update into slot k of the tile (T floats per
// slot), adding +0.0 so that both zeros become +0.0, and pads the slot with +0.0. The general
// path, for partial tiles and strided rows.
// Returns false when a copied value is NaN or infinite.
template <size_t T>
bool load_tile(const Inputs& in, size_t c0, size_t len, float* buf) {
  constexpr size_t S = slot_floats_of(T);
  bool finite = true;
  for (size_t k = 0; k < in.n; ++k) {
    float* dst = buf + k * S;
    size_t j = 0;
    while (j < len) {
      const size_t c = c0 + j;
      const size_t seg = in.contiguous ? len - j : min_size(len - j, in.cols - c % in.cols);
      const float* p = coord_ptr(in, k, c);
      for (size_t s = 0; s < seg; ++s) {
        finite = finite && is_finite(p[s]);
        dst[j + s] = p[s] + 0.0f;
      }
      j += seg;
    }
    for (; j < T; ++j) dst[j] = 0.0f;
  }
  return finite;
}

// Batcher's odd-even merge sort of 16 inputs: the first four rounds of the network for any n,
// sorting each aligned block of 16 slots. Done in registers, it replaces the first 63
// comparators of every full block (see build_network), which would otherwise each cost two
// loads and two stores.
inline constexpr uint8_t kSort16[63][2] = {
    {0, 1},   {2, 3},   {4, 5},   {6, 7},   {8, 9},   {10, 11}, {12, 13}, {14, 15}, {0, 2},
    {1, 3},   {4, 6},   {5, 7},   {8, 10},  {9, 11},  {12, 14}, {13, 15}, {1, 2},   {5, 6},
    {9, 10},  {13, 14}, {0, 4},   {1, 5},   {2, 6},   {3, 7},   {8, 12},  {9, 13},  {10, 14},
    {11, 15}, {2, 4},   {3, 5},   {10, 12}, {11, 13}, {1, 2},   {3, 4},   {5, 6},   {9, 10},
    {11, 12}, {13, 14}, {0, 8},   {1, 9},   {2, 10},  {3, 11},  {4, 12},  {5, 13},  {6, 14},
    {7, 15},  {4, 8},   {5, 9},   {6, 10},  {7, 11},  {2, 4},   {3, 5},   {6, 8},   {7, 9},
    {10, 12}, {11, 13}, {1, 2},   {3, 4},   {5, 6},   {7, 8},   {9, 10},  {11, 12}, {13, 14}};

// Sorts R <= 16 slots of one vector column in registers: loads slot i with load(i), stores
// it sorted at dst + i * stride. For R < 16 the comparators reaching slots >= R are left out,
// which is exact because missing slots behave as +inf that no comparator moves.
template <class Ops, size_t R, class Load>
inline void sort_block(Load&& load, float* dst, size_t stride) {
  using V = typename Ops::V;
  V r[R];
#pragma GCC unroll 16
  for (size_t i = 0; i < R; ++i) r[i] = load(i);
#pragma GCC unroll 63
  for (size_t c = 0; c < 63; ++c) {
    if (kSort16[c][1] >= R) continue;
    const V a = r[kSort16[c][0]], b = r[kSort16[c][1]];
    r[kSort16[c][0]] = Ops::min(a, b);
    r[kSort16[c][1]] = Ops::max(a, b);
  }
#pragma GCC unroll 16
  for (size_t i = 0; i < R; ++i) Ops::store(dst + i * stride, r[i]);
}

// sort_block with R = count (at most 16) chosen at run time.
template <class Ops, class Load>
inline void sort_block_of(size_t count, Load&& load, float* dst, size_t stride) {
  switch (count) {
#define FENRO_SORT_CASE(R) \
  case R:                  \
    return sort_block<Ops, R>(load, dst, stride);
    FENRO_SORT_CASE(2) FENRO_SORT_CASE(3) FENRO_SORT_CASE(4) FENRO_SORT_CASE(5)
    FENRO_SORT_CASE(6) FENRO_SORT_CASE(7) FENRO_SORT_CASE(8) FENRO_SORT_CASE(9)
    FENRO_SORT_CASE(10) FENRO_SORT_CASE(11) FENRO_SORT_CASE(12) FENRO_SORT_CASE(13)
    FENRO_SORT_CASE(14) FENRO_SORT_CASE(15) FENRO_SORT_CASE(16)
#undef FENRO_SORT_CASE
    default:  // a single slot is sorted already
      if (count == 1) Ops::store(dst, load(0));
  }
}

// Fills the tile for coordinates [c0, c0 + len) and sorts each aligned block of 16 slots (the
// last one possibly shorter). For a full tile of dense updates the blocks are sorted straight
// from the updates' memory.
// Returns false when an input value is NaN or infinite: the caller then validates the updates
// to report the first such element, so a separate validation pass over the input is not
// needed beforehand.
template <class Ops, size_t T>
bool load_and_sort_blocks(const SelectJob& job, size_t c0, size_t len, float* buf) {
  constexpr size_t S = slot_floats_of(T);
  using V = typename Ops::V;
  constexpr size_t L = Ops::kLanes;
  const Inputs& in = job.in;
  if (in.contiguous && len == T) {
    const V zero = Ops::set1(0.0f);
    // x - x is +0.0 for every finite x and NaN otherwise; the sum of them stays +0.0 until a
    // NaN arrives, which no later addition removes.
    V check = zero;
    const auto load = [&](const float* p) {
      const V x = Ops::load(p);
      check = Ops::add(check, Ops::sub(x, x));
      return Ops::add(x, zero);
    };
    for (size_t b = 0; b * 16 < in.n; ++b) {
      const float* const* src = in.bases + b * 16;
      const size_t count = min_size(16, in.n - b * 16);
      for (size_t w = 0; w < T; w += L) {
        sort_block_of<Ops>(count, [&](size_t i) { return load(src[i] + c0 + w); },
                           buf + b * 16 * S + w, S);
      }
    }
    alignas(64) float lanes[L];
    Ops::store(lanes, check);
    bool finite = true;
    for (size_t l = 0; l < L; ++l) finite = finite && lanes[l] == 0.0f;
    return finite;
  }
  const bool finite = load_tile<T>(in, c0, len, buf);
  for (size_t b = 0; b * 16 < in.n; ++b) {
    float* block = buf + b * 16 * S;
    const size_t count = min_size(16, in.n - b * 16);
    for (size_t w = 0; w < T; w += L) {
      sort_block_of<Ops>(count, [&](size_t i) { return Ops::load(block + i * S + w); },
                         block + w, S);
    }
  }
  return finite;
}

// Compare-exchange in registers: a gets the smaller value, b the larger.
template <class Ops>
inline void cmpx(typename Ops::V& a, typename Ops::V& b) {
  const typename Ops::V lo = Ops::min(a, b);
  b = Ops::max(a, b);
  a = lo;
}

// The memory comparators of runs [run_begin, run_end); slot offsets are pre-multiplied by T.
template <class Ops, size_t T>
void run_memory(const SelectJob& job, const NetStep& step, float* buf) {
  using V = typename Ops::V;
  constexpr size_t L = Ops::kLanes;
  const uint32_t* p = job.pairs + step.pair_begin;
  for (size_t r = step.run_begin; r < step.run_end; ++r) {
    const uint32_t count = job.runs[r].count;
    switch (job.runs[r].kind) {
      case OpKind::kBoth:
        for (uint32_t i = 0; i < count; ++i, p += 2) {
          float* a = buf + p[0];
          float* b = buf + p[1];
          for (size_t w = 0; w < T; w += L) {
            const V va = Ops::load(a + w), vb = Ops::load(b + w);
            Ops::store(a + w, Ops::min(va, vb));
            Ops::store(b + w, Ops::max(va, vb));
          }
        }
        break;
      case OpKind::kMinOnly:
        for (uint32_t i = 0; i < count; ++i, p += 2) {
          float* a = buf + p[0];
          const float* b = buf + p[1];
          for (size_t w = 0; w < T; w += L) {
            Ops::store(a + w, Ops::min(Ops::load(a + w), Ops::load(b + w)));
          }
        }
        break;
      case OpKind::kMaxOnly:
        for (uint32_t i = 0; i < count; ++i, p += 2) {
          const float* a = buf + p[0];
          float* b = buf + p[1];
          for (size_t w = 0; w < T; w += L) {
            Ops::store(b + w, Ops::max(Ops::load(a + w), Ops::load(b + w)));
          }
        }
        break;
    }
  }
}

// A whole merge level p on one block of 2p slots (Batcher's rounds k = p, p/2, ..., 1, where
// round k compares slot a with a + k), arranged so that values travel through registers:
//  - rounds p .. p/8 keep every slot within its residue class mod p/8; each class is 16 slots
//    p/8 apart, on which those rounds are exactly the last four rounds of kSort16 (the merge
//    of two sorted runs of 8);
//  - the remaining rounds are taken three (or two, or one) at a time: rounds 4m, 2m, m keep
//    residue classes mod m, on which they are the local rounds 4, 2, 1, streamed along the
//    class with a few slots carried in registers between windows.
// Local round k compares local slots q and q + k for q mod 2k in [k, 2k).
// Only the first `real` slots of the block hold values; the rest are +inf padding, and a
// comparison whose upper slot is padding changes nothing. So a class with at most two real
// slots is skipped (every comparator of the merge has its upper slot at local 2 or above), and
// each stream stops after the window holding its last real slot.
template <class Ops, size_t T>
void merge_level(float* block, size_t p, size_t real) {
  constexpr size_t S = slot_floats_of(T);
  using V = typename Ops::V;
  constexpr size_t L = Ops::kLanes;
  const size_t s = p / 8;
  // Local slots of class r (slots r, r + m, ...) that are real, rounded up to a multiple of
  // `period` and capped at the class length.
  const auto stream_len = [&](size_t r, size_t m, size_t period) {
    const size_t len = 2 * p / m;
    const size_t count = real > r ? (real - r + m - 1) / m : 0;
    return min_size(len, (count + period - 1) / period * period);
  };
  for (size_t r = 0; r < s; ++r) {
    if (stream_len(r, s, 1) <= 2) continue;
    float* base = block + r * S;
    const size_t step = s * S;
    for (size_t w = 0; w < T; w += L) {
      V x[16];
#pragma GCC unroll 16
      for (size_t q = 0; q < 16; ++q) x[q] = Ops::load(base + q * step + w);
#pragma GCC unroll 25
      for (size_t c = 38; c < 63; ++c) cmpx<Ops>(x[kSort16[c][0]], x[kSort16[c][1]]);
#pragma GCC unroll 16
      for (size_t q = 0; q < 16; ++q) Ops::store(base + q * step + w, x[q]);
    }
  }
  for (size_t k = s / 2; k >= 1;) {
    if (k >= 4) {
      // Local rounds 4, 2, 1 on classes mod m, each 2p / m slots (a multiple of 8) long.
      // Window j loads local slots 8j+4 .. 8j+11; slots 8j+1 .. 8j+3 are carried in.
      const size_t m = k / 4, step = m * S;
      for (size_t r = 0; r < m; ++r) {
        const size_t len = stream_len(r, m, 8);
        if (len == 0) continue;
        float* base = block + r * S;
        for (size_t w = 0; w < T; w += L) {
          const auto at = [&](size_t q) { return base + q * step + w; };
          V c1 = Ops::load(at(1)), c2 = Ops::load(at(2)), c3 = Ops::load(at(3));
          size_t q = 0;  // 8j
          for (; q + 12 <= len; q += 8) {
            V x[8];
#pragma GCC unroll 8
            for (size_t i = 0; i < 8; ++i) x[i] = Ops::load(at(q + 4 + i));
            for (size_t i = 0; i < 4; ++i) cmpx<Ops>(x[i], x[i + 4]);
            cmpx<Ops>(c2, x[0]);
            cmpx<Ops>(c3, x[1]);
            cmpx<Ops>(x[2], x[4]);
            cmpx<Ops>(x[3], x[5]);
            cmpx<Ops>(c1, c2);
            cmpx<Ops>(c3, x[0]);
            cmpx<Ops>(x[1], x[2]);
            cmpx<Ops>(x[3], x[4]);
            Ops::store(at(q + 1), c1);
            Ops::store(at(q + 2), c2);
            Ops::store(at(q + 3), c3);
#pragma GCC unroll 5
            for (size_t i = 0; i < 5; ++i) Ops::store(at(q + 4 + i), x[i]);
            c1 = x[5];
            c2 = x[6];
            c3 = x[7];
          }
          // The last window holds local slots len-4 .. len-1 only.
          V x0 = Ops::load(at(q + 4)), x1 = Ops::load(at(q + 5)), x2 = Ops::load(at(q + 6));
          cmpx<Ops>(c2, x0);
          cmpx<Ops>(c3, x1);
          cmpx<Ops>(c1, c2);
          cmpx<Ops>(c3, x0);
          cmpx<Ops>(x1, x2);
          Ops::store(at(q + 1), c1);
          Ops::store(at(q + 2), c2);
          Ops::store(at(q + 3), c3);
          Ops::store(at(q + 4), x0);
          Ops::store(at(q + 5), x1);
          Ops::store(at(q + 6), x2);
        }
      }
      k /= 8;
    } else if (k == 2) {
      // Local rounds 2, 1 on the whole block: window j loads slots 4j+2 .. 4j+5, carrying 4j+1.
      const size_t len = stream_len(0, 1, 4);
      for (size_t w = 0; w < T && len > 0; w += L) {
        const auto at = [&](size_t q) { return block + q * S + w; };
        V c1 = Ops::load(at(1));
        size_t q = 0;  // 4j
        for (; q + 6 <= len; q += 4) {
          V x0 = Ops::load(at(q + 2)), x1 = Ops::load(at(q + 3)), x2 = Ops::load(at(q + 4)),
            x3 = Ops::load(at(q + 5));
          cmpx<Ops>(x0, x2);
          cmpx<Ops>(x1, x3);
          cmpx<Ops>(c1, x0);
          cmpx<Ops>(x1, x2);
          Ops::store(at(q + 1), c1);
          Ops::store(at(q + 2), x0);
          Ops::store(at(q + 3), x1);
          Ops::store(at(q + 4), x2);
          c1 = x3;
        }
        V x0 = Ops::load(at(q + 2));
        cmpx<Ops>(c1, x0);
        Ops::store(at(q + 1), c1);
        Ops::store(at(q + 2), x0);
      }
      k = 0;
    } else {
      // Local round 1 on the whole block.
      for (size_t q = 1; q + 1 < min_size(real, 2 * p); q += 2) {
        float* a = block + q * S;
        for (size_t w = 0; w < T; w += L) {
          V va = Ops::load(a + w), vb = Ops::load(a + S + w);
          cmpx<Ops>(va, vb);
          Ops::store(a + w, va);
          Ops::store(a + S + w, vb);
        }
      }
      k = 0;
    }
  }
}

// Runs the network schedule over the tile.
template <class Ops, size_t T>
void run_network(const SelectJob& job, float* buf) {
  constexpr size_t S = slot_floats_of(T);
  for (size_t i = 0; i < job.num_steps; ++i) {
    const NetStep& step = job.steps[i];
    if (step.kind == NetStep::Kind::kRuns) {
      run_memory<Ops, T>(job, step, buf);
      continue;
    }
    const size_t width = 2 * size_t{step.level};
    for (size_t b = 0; b < job.in.n; b += width) {
      merge_level<Ops, T>(buf + b * S, step.level, min_size(width, job.in.n - b));
    }
  }
}

// The zero-sign rule. The network ran on values with -0.0 turned into +0.0; that changes a
// result only when every selected sorted slot holds a zero, and then the result is -0.0
// exactly when all of them are -0.0 in the stable order, where a coordinate's zeros follow its
// negative values in client order. Re-reads the original values of coordinate c.
inline float fix_zero_sign(const Inputs& in, size_t c, size_t lo, size_t hi, float res) {
  size_t neg = 0;
  for (size_t k = 0; k < in.n; ++k) neg += *coord_ptr(in, k, c) < 0.0f ? 1 : 0;
  if (neg > lo) return res;  // slot lo holds a negative value
  size_t zeros = 0, neg_zeros = 0;
  for (size_t k = 0; k < in.n; ++k) {
    const float x = *coord_ptr(in, k, c);
    if (x != 0.0f) continue;
    const size_t pos = neg + zeros++;
    if (pos >= lo && pos < hi && sign_bit(x)) ++neg_zeros;
  }
  if (neg + zeros < hi) return res;  // slot hi - 1 holds a positive value
  return neg_zeros == hi - lo ? -0.0f : 0.0f;
}

// The result of one coordinate from its ordered kept values (lane `l` of the tile), in
// double and rounded once: used when the float32 arithmetic overflowed.
template <size_t T>
float reduce_in_double(const SelectJob& job, const float* buf, size_t l) {
  constexpr size_t S = slot_floats_of(T);
  if (job.reduce == Reduce::kHalfSum) {
    const double a = static_cast<double>(buf[job.lo * S + l]);
    const double b = static_cast<double>(buf[(job.lo + 1) * S + l]);
    return static_cast<float>((a + b) * 0.5);
  }
  double acc = -0.0;
  for (size_t p = job.lo; p < job.hi; ++p) acc += static_cast<double>(buf[p * S + l]);
  return static_cast<float>(acc / static_cast<double>(job.hi - job.lo));
}

template <class Ops>
bool select_tiles(const SelectJob& job, size_t tile_begin, size_t tile_end, float* buf) {
  using V = typename Ops::V;
  constexpr size_t L = Ops::kLanes;
  constexpr size_t T = kSelectTile;
  constexpr size_t S = slot_floats_of(T);
  static_assert(T % L == 0, "tile must hold whole vectors");
  const size_t d = job.in.rows * job.in.cols;
  const float m = static_cast<float>(job.hi - job.lo);
  alignas(64) float res[T];
  for (size_t t = tile_begin; t < tile_end; ++t) {
    const size_t c0 = t * T;
    const size_t len = min_size(T, d - c0);
    if (!load_and_sort_blocks<Ops, T>(job, c0, len, buf)) return false;
    run_network<Ops, T>(job, buf);
    if (job.reduce == Reduce::kMean) {
      // Every lane adds its kept values in ascending order; the vectors of the tile form
      // independent chains, interleaved so that the adds overlap.
      constexpr size_t kVectors = T / L;
      V acc[kVectors];
      for (size_t v = 0; v < kVectors; ++v) acc[v] = Ops::set1(-0.0f);
      for (size_t p = job.lo; p < job.hi; ++p) {
        const float* row = buf + p * S;
#pragma GCC unroll 16
        for (size_t v = 0; v < kVectors; ++v) acc[v] = Ops::add(acc[v], Ops::load(row + v * L));
      }
      for (size_t v = 0; v < kVectors; ++v) Ops::store(res + v * L, Ops::div(acc[v], Ops::set1(m)));
    } else {
      for (size_t w = 0; w < T; w += L) {
        V r = Ops::load(buf + job.lo * S + w);
        if (job.reduce == Reduce::kHalfSum) {
          r = Ops::mul(Ops::add(r, Ops::load(buf + (job.lo + 1) * S + w)), Ops::set1(0.5f));
        }
        Ops::store(res + w, r);
      }
    }
    for (size_t l = 0; l < len; ++l) {
      float x = res[l];
      if (x == 0.0f) {
        x = fix_zero_sign(job.in, c0 + l, job.lo, job.hi, x);
      } else if (!is_finite(x)) {
        x = reduce_in_double<T>(job, buf, l);
      }
      job.out[c0 + l] = x;
    }
  }
  return true;
}

template <class Ops>
void mean_tiles(const MeanJob& job, size_t tile_begin, size_t tile_end) {
  using V = typename Ops::V;
  constexpr size_t L = Ops::kLanes;
  const Inputs& in = job.in;
  const size_t d = in.rows * in.cols;
  const V divisor = Ops::set1(job.divisor);
  for (size_t t = tile_begin; t < tile_end; ++t) {
    const size_t c0 = t * kMeanTile;
    const size_t len = min_size(kMeanTile, d - c0);
    float* out = job.out + c0;
    // The tile is split into runs of coordinates that are contiguous in every update (the whole
    // tile when the updates are dense). Each element is summed in client order whatever the
    // split, so results do not depend on tiling or threads.
    size_t j = 0;
    while (j < len) {
      const size_t c = c0 + j;
      const size_t seg = in.contiguous ? len - j : min_size(len - j, in.cols - c % in.cols);
      float* acc = out + j;
      const size_t vec_end = seg - seg % L;
      for (size_t s = 0; s < seg; ++s) acc[s] = 0.0f;
      // Four updates per pass over the tile: the partial sums stay in registers between them,
      // cutting the accumulator's loads and stores to a quarter. The order is still 0, 1, 2, ...
      size_t k = 0;
      for (; k + 4 <= in.n; k += 4) {
        const float* p0 = coord_ptr(in, k, c);
        const float* p1 = coord_ptr(in, k + 1, c);
        const float* p2 = coord_ptr(in, k + 2, c);
        const float* p3 = coord_ptr(in, k + 3, c);
        if (job.weights == nullptr) {
          size_t s = 0;
          for (; s < vec_end; s += L) {
            V a = Ops::add(Ops::load(acc + s), Ops::load(p0 + s));
            a = Ops::add(a, Ops::load(p1 + s));
            a = Ops::add(a, Ops::load(p2 + s));
            Ops::store(acc + s, Ops::add(a, Ops::load(p3 + s)));
          }
          for (; s < seg; ++s) acc[s] = acc[s] + p0[s] + p1[s] + p2[s] + p3[s];
        } else {
          const float* w = job.weights + k;
          const V w0 = Ops::set1(w[0]), w1 = Ops::set1(w[1]), w2 = Ops::set1(w[2]),
                  w3 = Ops::set1(w[3]);
          size_t s = 0;
          for (; s < vec_end; s += L) {
            V a = Ops::add(Ops::load(acc + s), Ops::mul(Ops::load(p0 + s), w0));
            a = Ops::add(a, Ops::mul(Ops::load(p1 + s), w1));
            a = Ops::add(a, Ops::mul(Ops::load(p2 + s), w2));
            Ops::store(acc + s, Ops::add(a, Ops::mul(Ops::load(p3 + s), w3)));
          }
          for (; s < seg; ++s) {
            acc[s] = acc[s] + p0[s] * w[0] + p1[s] * w[1] + p2[s] * w[2] + p3[s] * w[3];
          }
        }
      }
      for (; k < in.n; ++k) {
        const float* p = coord_ptr(in, k, c);
        if (job.weights == nullptr) {
          size_t s = 0;
          for (; s < vec_end; s += L) {
            Ops::store(acc + s, Ops::add(Ops::load(acc + s), Ops::load(p + s)));
          }
          for (; s < seg; ++s) acc[s] = acc[s] + p[s];
        } else {
          const float wk = job.weights[k];
          const V vw = Ops::set1(wk);
          size_t s = 0;
          for (; s < vec_end; s += L) {
            Ops::store(acc + s, Ops::add(Ops::load(acc + s), Ops::mul(Ops::load(p + s), vw)));
          }
          for (; s < seg; ++s) acc[s] = acc[s] + p[s] * wk;
        }
      }
      size_t s = 0;
      for (; s < vec_end; s += L) Ops::store(acc + s, Ops::div(Ops::load(acc + s), divisor));
      for (; s < seg; ++s) acc[s] = acc[s] / job.divisor;
      j += seg;
    }
    // The inputs are finite, so a non-finite element means the float32 sum overflowed: redo it
    // in double in the same order and round once.
    for (size_t l = 0; l < len; ++l) {
      if (is_finite(out[l])) continue;
      double acc = 0.0;
      for (size_t k = 0; k < in.n; ++k) {
        const double x = static_cast<double>(*coord_ptr(in, k, c0 + l));
        acc += job.weights == nullptr ? x : x * static_cast<double>(job.weights[k]);
      }
      out[l] = static_cast<float>(acc / static_cast<double>(job.divisor));
    }
  }
}
