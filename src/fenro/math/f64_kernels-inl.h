// Inner loops of the float64 kernels, generic over a vector of doubles. Included once per SIMD
// target, inside that target's own namespace, by f64_kernels_<target>.cc; it must contain
// nothing but code of that namespace (no standard-library templates), so no inline symbol is
// shared between targets.
//
// `Ops` provides: V, kLanes (doubles per V), kPairGroups (column groups per pair_rows step),
// kMixRows (outputs per mix_rows pass), kGramRows (rows per gram_block pass), load, load_floats
// (kLanes floats widened), store, add, sub, mul, madd(a, b, c) = c + a * b (fused or not: the
// Gram products are exact), set1, abs, max and min (of non-NaN values), zero_to_inf (zeros
// replaced by +inf), any_zero (whether a lane equals zero), and transpose8(src, t, dst): dst[j * 8 + l] = double(src[l][t + j]) for
// j, l < 8. Every operation is an exact IEEE double operation lane by lane, so every
// target computes bit for bit what the scalar one does: the vector width only decides how many
// independent sums advance together, never the order within one sum.
//
// Requires before inclusion: <cstddef>, <cstdint> and f64_kernels.h.

namespace detail {

template <class Ops>
void pair_fill(const float* const* src, size_t len, double* dst) {
  size_t t = 0;
  for (; t + kPairGroup <= len; t += kPairGroup) Ops::transpose8(src, t, dst + t * kPairGroup);
  for (; t < len; ++t) {
    for (size_t l = 0; l < kPairGroup; ++l) dst[t * kPairGroup + l] = static_cast<double>(src[l][t]);
  }
}

// Widens src[0 .. len) into dst in blocks: element t goes to dst[(t / kMixBlock) * stride +
// t % kMixBlock]. Returns false when a value is NaN or infinite.
template <class Ops>
bool mix_fill(const float* src, size_t len, double* dst, size_t stride) {
  using V = typename Ops::V;
  constexpr size_t L = Ops::kLanes;
  V check = Ops::set1(0.0);
  size_t t = 0;
  for (; t + kMixBlock <= len; t += kMixBlock, dst += stride) {
#pragma GCC unroll 16
    for (size_t v = 0; v < kMixBlock / L; ++v) {
      const V x = Ops::load_floats(src + t + v * L);
      // x - x is +0.0 for every finite x and NaN otherwise; NaN survives every later add.
      check = Ops::add(check, Ops::sub(x, x));
      Ops::store(dst + v * L, x);
    }
  }
  bool finite = true;
  for (size_t i = 0; t + i < len; ++i) {
    const double x = static_cast<double>(src[t + i]);
    finite = finite && x - x == 0.0;
    dst[i] = x;
  }
  alignas(64) double lanes[L];
  Ops::store(lanes, check);
  for (size_t l = 0; l < L; ++l) finite = finite && lanes[l] == 0.0;
  return finite;
}

template <class Ops, size_t G>
void pair_groups(const PairJob& job, const size_t rows[kPairRows], size_t g) {
  using V = typename Ops::V;
  constexpr size_t L = Ops::kLanes;
  constexpr size_t VG = kPairGroup / L;  // vectors per group
  const size_t block = job.stride * kPairGroup;
  V acc[kPairRows][G * VG];
  const double* xi[kPairRows];
  for (size_t r = 0; r < kPairRows; ++r) {
    double* row = job.table + rows[r] * job.table_stride + g * kPairGroup;
    for (size_t v = 0; v < G * VG; ++v) acc[r][v] = Ops::load(row + v * L);
    xi[r] = job.tile + (rows[r] / kPairGroup) * block + rows[r] % kPairGroup;
  }
  const double* col = job.tile + g * block;
  for (size_t t = 0; t < job.len; ++t) {
    V y[G * VG];
#pragma GCC unroll 16
    for (size_t gg = 0; gg < G; ++gg) {
      for (size_t v = 0; v < VG; ++v) y[gg * VG + v] = Ops::load(col + gg * block + t * kPairGroup + v * L);
    }
#pragma GCC unroll 4
    for (size_t r = 0; r < kPairRows; ++r) {
      const V b = Ops::set1(xi[r][t * kPairGroup]);
#pragma GCC unroll 16
      for (size_t v = 0; v < G * VG; ++v) {
        const V d = Ops::sub(y[v], b);
        acc[r][v] = Ops::add(acc[r][v], Ops::mul(d, d));
      }
    }
  }
  // Rows may repeat (a short last block); each copy computed the same sums from the same start.
  for (size_t r = 0; r < kPairRows; ++r) {
    double* row = job.table + rows[r] * job.table_stride + g * kPairGroup;
    for (size_t v = 0; v < G * VG; ++v) Ops::store(row + v * L, acc[r][v]);
  }
}

template <class Ops>
void pair_rows(const PairJob& job, const size_t rows[kPairRows], size_t g_begin) {
  constexpr size_t G = Ops::kPairGroups;
  size_t g = g_begin;
  for (; g + G <= job.groups; g += G) pair_groups<Ops, G>(job, rows, g);
  for (; g < job.groups; ++g) pair_groups<Ops, 1>(job, rows, g);
}

// Reduces the kGramLanes partial sums of one pair in the fixed tree every target uses.
inline double lane_total(const double* s) {
  return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
}

template <class Ops>
void gram_block(const GramJob& job, const size_t rows[kGramBlock], const size_t cols[kGramBlock]) {
  using V = typename Ops::V;
  constexpr size_t L = Ops::kLanes;
  constexpr size_t VL = kGramLanes / L;  // vectors per pair
  constexpr size_t R = Ops::kGramRows;   // rows per pass: the accumulators must fit the registers
  for (size_t r0 = 0; r0 < kGramBlock; r0 += R) {
    V acc[R][kGramBlock][VL];
    for (size_t r = 0; r < R; ++r)
      for (size_t c = 0; c < kGramBlock; ++c)
        for (size_t v = 0; v < VL; ++v) acc[r][c][v] = Ops::set1(0.0);
    const double* a[R];
    const double* b[kGramBlock];
    for (size_t r = 0; r < R; ++r) a[r] = job.tile + rows[r0 + r] * job.stride;
    for (size_t c = 0; c < kGramBlock; ++c) b[c] = job.tile + cols[c] * job.stride;
    for (size_t t = 0; t < job.len; t += kGramLanes) {
#pragma GCC unroll 8
      for (size_t v = 0; v < VL; ++v) {
        V y[kGramBlock];
        for (size_t c = 0; c < kGramBlock; ++c) y[c] = Ops::load(b[c] + t + v * L);
#pragma GCC unroll 4
        for (size_t r = 0; r < R; ++r) {
          const V x = Ops::load(a[r] + t + v * L);
#pragma GCC unroll 4
          for (size_t c = 0; c < kGramBlock; ++c) acc[r][c][v] = Ops::madd(x, y[c], acc[r][c][v]);
        }
      }
    }
    for (size_t r = 0; r < R; ++r) {
      for (size_t c = 0; c < kGramBlock; ++c) {
        // A repeated index (the clamped end of a short block) must not add its total twice.
        const bool repeat = (r0 + r > 0 && rows[r0 + r] == rows[r0 + r - 1]) ||
                            (c > 0 && cols[c] == cols[c - 1]);
        if (repeat) continue;
        alignas(64) double lanes[kGramLanes];
        for (size_t v = 0; v < VL; ++v) Ops::store(lanes + v * L, acc[r][c][v]);
        double& cell = job.table[rows[r0 + r] * job.n + cols[c]];
        cell = cell + lane_total(lanes);
      }
    }
  }
}

// dst[l] = float32(acc[l] * scale) for the first `width` lanes of kMixBlock doubles.
template <class Ops>
void store_mean(const typename Ops::V* acc, typename Ops::V scale, float* dst, size_t width) {
  constexpr size_t L = Ops::kLanes;
  alignas(64) double mean[kMixBlock];
  for (size_t v = 0; v < kMixBlock / L; ++v) Ops::store(mean + v * L, Ops::mul(acc[v], scale));
  for (size_t l = 0; l < width; ++l) dst[l] = static_cast<float>(mean[l]);
}

// R outputs that share one member count, over block b of the tile (`width` valid coordinates).
// kFromTotal: each sum starts from the block's `total` and subtracts the output's excluded
// rows. The sums are then exact (exact_block), so the order of the subtractions does not matter
// and each equals its list's sum in list order; an output with a zero lane, whose sign only the
// list order decides, is summed again that way.
template <class Ops, size_t R, bool kFromTotal = false>
void mix_block(const MixJob& job, const uint32_t* outs, size_t count, size_t b, size_t width,
               const typename Ops::V* total = nullptr) {
  using V = typename Ops::V;
  constexpr size_t L = Ops::kLanes;
  constexpr size_t VB = kMixBlock / L;
  const double* blk = job.tile + b * job.n * kMixBlock;
  const size_t terms = kFromTotal ? job.n - count : count;
  const uint32_t* rows[R];
  V acc[R][VB];
  for (size_t r = 0; r < R; ++r) {
    rows[r] = kFromTotal ? job.excluded + job.excluded_offsets[outs[r]]
                         : job.members + job.offsets[outs[r]];
    for (size_t v = 0; v < VB; ++v) acc[r][v] = kFromTotal ? total[v] : Ops::set1(-0.0);
  }
  for (size_t k = 0; k < terms; ++k) {
#pragma GCC unroll 4
    for (size_t r = 0; r < R; ++r) {
      const double* src = blk + size_t{rows[r][k]} * kMixBlock;
#pragma GCC unroll 16
      for (size_t v = 0; v < VB; ++v) {
        const V x = Ops::load(src + v * L);
        acc[r][v] = kFromTotal ? Ops::sub(acc[r][v], x) : Ops::add(acc[r][v], x);
      }
    }
  }
  // A product, not a division: a vector division costs as much as the whole sum for small lists.
  const V scale = Ops::set1(1.0 / static_cast<double>(count));
  for (size_t r = 0; r < R; ++r) {
    bool zero = false;
    for (size_t v = 0; kFromTotal && v < VB; ++v) zero = zero || Ops::any_zero(acc[r][v]);
    if (zero) {
      mix_block<Ops, 1>(job, outs + r, count, b, width);
    } else {
      store_mean<Ops>(acc[r], scale, job.out + outs[r] * job.out_stride + b * kMixBlock, width);
    }
  }
}

// Whether every sum over the n rows of block b, in any order and over any subset, is exact
// (see exact_ratio_for): per coordinate, all values finite, one of them nonzero, and the
// largest magnitude at most exact_ratio times the smallest nonzero one. Lanes past the chunk's
// end hold stale finite values or zeros, which can only make the answer no.
template <class Ops>
bool exact_block(const MixJob& job, size_t b) {
  using V = typename Ops::V;
  constexpr size_t L = Ops::kLanes;
  constexpr size_t VB = kMixBlock / L;
  const double* blk = job.tile + b * job.n * kMixBlock;
  V hi[VB], lo[VB], nonfinite[VB];
  for (size_t v = 0; v < VB; ++v) {
    hi[v] = Ops::set1(0.0);
    lo[v] = Ops::set1(__builtin_inf());
    nonfinite[v] = Ops::set1(0.0);
  }
  for (size_t k = 0; k < job.n; ++k) {
#pragma GCC unroll 16
    for (size_t v = 0; v < VB; ++v) {
      const V x = Ops::load(blk + k * kMixBlock + v * L);
      const V a = Ops::abs(x);
      hi[v] = Ops::max(hi[v], a);
      lo[v] = Ops::min(lo[v], Ops::zero_to_inf(a));
      nonfinite[v] = Ops::add(nonfinite[v], Ops::sub(x, x));  // NaN from a NaN or an infinity
    }
  }
  alignas(64) double h[kMixBlock], m[kMixBlock], c[kMixBlock];
  for (size_t v = 0; v < VB; ++v) {
    Ops::store(h + v * L, hi[v]);
    Ops::store(m + v * L, lo[v]);
    Ops::store(c + v * L, nonfinite[v]);
  }
  bool exact = true;
  for (size_t l = 0; l < kMixBlock; ++l) {
    exact = exact && c[l] == 0.0 && m[l] < __builtin_inf() && h[l] <= m[l] * job.exact_ratio;
  }
  return exact;
}

template <class Ops>
void mix_rows(const MixJob& job) {
  using V = typename Ops::V;
  constexpr size_t L = Ops::kLanes;
  constexpr size_t VB = kMixBlock / L;
  constexpr size_t R = Ops::kMixRows;
  const size_t blocks = (job.len + kMixBlock - 1) / kMixBlock;
  const auto count_of = [&](size_t i) { return job.offsets[job.todo[i] + 1] - job.offsets[job.todo[i]]; };
  const auto drop_of = [&](size_t i) {
    return job.excluded_offsets[job.todo[i] + 1] - job.excluded_offsets[job.todo[i]];
  };
  for (size_t b = 0; b < blocks; ++b) {
    const size_t width = job.len - b * kMixBlock < kMixBlock ? job.len - b * kMixBlock : kMixBlock;
    if (job.excluded_offsets != nullptr && exact_block<Ops>(job, b)) {
      const double* blk = job.tile + b * job.n * kMixBlock;
      V total[VB];
      for (size_t v = 0; v < VB; ++v) total[v] = Ops::set1(-0.0);
      for (size_t k = 0; k < job.n; ++k) {
#pragma GCC unroll 16
        for (size_t v = 0; v < VB; ++v) total[v] = Ops::add(total[v], Ops::load(blk + k * kMixBlock + v * L));
      }
      size_t i = 0;
      while (i < job.todo_count) {
        const size_t drop = drop_of(i);
        bool same = i + R <= job.todo_count;
        for (size_t r = 1; same && r < R; ++r) same = drop_of(i + r) == drop;
        if (same && R > 1) {
          mix_block<Ops, R, true>(job, job.todo + i, job.n - drop, b, width, total);
          i += R;
        } else {
          mix_block<Ops, 1, true>(job, job.todo + i, job.n - drop, b, width, total);
          ++i;
        }
      }
      continue;
    }
    size_t i = 0;
    while (i < job.todo_count) {
      const size_t count = count_of(i);
      bool same = i + R <= job.todo_count;
      for (size_t r = 1; same && r < R; ++r) same = count_of(i + r) == count;
      if (same && R > 1) {
        mix_block<Ops, R>(job, job.todo + i, count, b, width);
        i += R;
      } else {
        mix_block<Ops, 1>(job, job.todo + i, count, b, width);
        ++i;
      }
    }
  }
}

template <class Ops>
bool list_mean(const float* const* src, size_t count, double scale, size_t len, float* out) {
  using V = typename Ops::V;
  constexpr size_t L = Ops::kLanes;
  constexpr size_t W = kMixBlock / L;  // vectors per step: independent sums in flight
  const V factor = Ops::set1(scale);
  V check = Ops::set1(0.0);
  size_t l = 0;
  for (; l + kMixBlock <= len; l += kMixBlock) {
    V acc[W];
    for (size_t v = 0; v < W; ++v) acc[v] = Ops::set1(-0.0);
    for (size_t k = 0; k < count; ++k) {
#pragma GCC unroll 16
      for (size_t v = 0; v < W; ++v) {
        const V x = Ops::load_floats(src[k] + l + v * L);
        check = Ops::add(check, Ops::sub(x, x));  // NaN from a NaN or an infinity
        acc[v] = Ops::add(acc[v], x);
      }
    }
    store_mean<Ops>(acc, factor, out + l, kMixBlock);
  }
  bool finite = true;
  for (; l < len; ++l) {
    double sum = -0.0;
    for (size_t k = 0; k < count; ++k) {
      const double x = static_cast<double>(src[k][l]);
      finite = finite && x - x == 0.0;
      sum = sum + x;
    }
    out[l] = static_cast<float>(sum * scale);
  }
  alignas(64) double lanes[L];
  Ops::store(lanes, check);
  for (size_t t = 0; t < L; ++t) finite = finite && lanes[t] == 0.0;
  return finite;
}

template <class Ops>
void weighted_sum(const float* const* src, const double* coeffs, size_t n, const double* base,
                  size_t len, double* out) {
  using V = typename Ops::V;
  constexpr size_t L = Ops::kLanes;
  const size_t vec_end = len - len % L;
  // The term of update k at element l: coeffs[k] * (x - base), or coeffs[k] * x without a base.
  const auto term = [&](size_t k, size_t l) {
    const V x = Ops::load_floats(src[k] + l);
    return Ops::mul(Ops::set1(coeffs[k]), base == nullptr ? x : Ops::sub(x, Ops::load(base + l)));
  };
  const auto term1 = [&](size_t k, size_t l) {
    const double x = static_cast<double>(src[k][l]);
    return coeffs[k] * (base == nullptr ? x : x - base[l]);
  };
  for (size_t l = 0; l < len; ++l) out[l] = 0.0;
  // Four updates per pass over the tile: the partial sums stay in registers between them. The
  // order is still update 0, 1, 2, ... for every element.
  size_t k = 0;
  for (; k + 4 <= n; k += 4) {
    size_t l = 0;
    for (; l < vec_end; l += L) {
      V a = Ops::add(Ops::load(out + l), term(k, l));
      a = Ops::add(a, term(k + 1, l));
      a = Ops::add(a, term(k + 2, l));
      Ops::store(out + l, Ops::add(a, term(k + 3, l)));
    }
    for (; l < len; ++l) out[l] = out[l] + term1(k, l) + term1(k + 1, l) + term1(k + 2, l) + term1(k + 3, l);
  }
  for (; k < n; ++k) {
    size_t l = 0;
    for (; l < vec_end; l += L) Ops::store(out + l, Ops::add(Ops::load(out + l), term(k, l)));
    for (; l < len; ++l) out[l] = out[l] + term1(k, l);
  }
}

}  // namespace detail
