// Tile loop of the mean around the median (see meamed_kernels.h), generic over the same `Ops`
// as coordinate_kernels-inl.h and included right after it, inside the same per-target
// namespace; it must contain nothing but code of that namespace. The per-lane reduction works
// on vectors of doubles chosen here by the translation unit's own instruction-set flags (the
// struct lives in that target's namespace, so no definition is shared between targets); every
// operation is an exact IEEE operation per lane, so each target computes the same bits.
//
// Requires before inclusion: coordinate_kernels-inl.h, meamed_kernels.h, and <immintrin.h> in
// the AVX2 and AVX-512 translation units.

// Doubles of one vector, with the comparisons and selections the reduction needs.
#if defined(__AVX512F__)
struct Doubles {
  using V = __m512d;
  using M = __mmask8;
  static constexpr size_t kLanes = 8;
  static V widen(const float* p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }
  static V load(const double* p) { return _mm512_loadu_pd(p); }
  static void store(double* p, V v) { _mm512_storeu_pd(p, v); }
  static V set1(double x) { return _mm512_set1_pd(x); }
  static V add(V a, V b) { return _mm512_add_pd(a, b); }
  static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
  static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
  static V div(V a, V b) { return _mm512_div_pd(a, b); }
  static V abs_diff(V a, V b) { return _mm512_abs_pd(_mm512_sub_pd(a, b)); }
  static M gt(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
  static M lt(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
  static M ge(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
  static M le(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
  static M eq(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
  static M both(M a, M b) { return static_cast<M>(a & b); }
  static M either(M a, M b) { return static_cast<M>(a | b); }
  static V select(M m, V yes, V no) { return _mm512_mask_blend_pd(m, no, yes); }
  // acc + x where m is set, acc elsewhere (the same bits as acc + (m ? x : -0.0)).
  static V add_if(M m, V acc, V x) { return _mm512_mask_add_pd(acc, m, acc, x); }
  static M negate(M m) { return static_cast<M>(~m); }
  static unsigned bits(M m) { return m; }
  // base[index] per lane, widened; the indices are whole numbers held in doubles.
  static V gather(const float* base, V index) {
    return _mm512_cvtps_pd(_mm256_i32gather_ps(base, _mm512_cvttpd_epi32(index), 4));
  }
};
#elif defined(__AVX2__)
struct Doubles {
  using V = __m256d;
  using M = __m256d;
  static constexpr size_t kLanes = 4;
  static V widen(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
  static V load(const double* p) { return _mm256_loadu_pd(p); }
  static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
  static V set1(double x) { return _mm256_set1_pd(x); }
  static V add(V a, V b) { return _mm256_add_pd(a, b); }
  static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
  static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
  static V div(V a, V b) { return _mm256_div_pd(a, b); }
  static V abs_diff(V a, V b) {
    return _mm256_andnot_pd(_mm256_set1_pd(-0.0), _mm256_sub_pd(a, b));
  }
  static M gt(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
  static M lt(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
  static M ge(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
  static M le(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
  static M eq(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
  static M both(M a, M b) { return _mm256_and_pd(a, b); }
  static M either(M a, M b) { return _mm256_or_pd(a, b); }
  static V select(M m, V yes, V no) { return _mm256_blendv_pd(no, yes, m); }
  static V add_if(M m, V acc, V x) {
    return _mm256_add_pd(acc, _mm256_blendv_pd(_mm256_set1_pd(-0.0), x, m));
  }
  static M negate(M m) { return _mm256_xor_pd(m, _mm256_castsi256_pd(_mm256_set1_epi64x(-1))); }
  static unsigned bits(M m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
  static V gather(const float* base, V index) {
    return _mm256_cvtps_pd(_mm_i32gather_ps(base, _mm256_cvttpd_epi32(index), 4));
  }
};
#else
struct Doubles {
  using V = double;
  using M = bool;
  static constexpr size_t kLanes = 1;
  static V widen(const float* p) { return static_cast<double>(*p); }
  static V load(const double* p) { return *p; }
  static void store(double* p, V v) { *p = v; }
  static V set1(double x) { return x; }
  static V add(V a, V b) { return a + b; }
  static V sub(V a, V b) { return a - b; }
  static V mul(V a, V b) { return a * b; }
  static V div(V a, V b) { return a / b; }
  static V abs_diff(V a, V b) { return __builtin_fabs(a - b); }
  static M gt(V a, V b) { return a > b; }
  static M lt(V a, V b) { return a < b; }
  static M ge(V a, V b) { return a >= b; }
  static M le(V a, V b) { return a <= b; }
  static M eq(V a, V b) { return a == b; }
  static M both(M a, M b) { return a && b; }
  static M either(M a, M b) { return a || b; }
  static V select(M m, V yes, V no) { return m ? yes : no; }
  static V add_if(M m, V acc, V x) { return m ? acc + x : acc; }
  static M negate(M m) { return !m; }
  static unsigned bits(M m) { return m ? 1u : 0u; }
  static V gather(const float* base, V index) {
    return static_cast<double>(base[static_cast<size_t>(index)]);
  }
};
#endif

// The result of lane l of a sorted tile whose window starts at slot `first`, for a lane the
// vector pass flagged: a value just outside the window at the distance of one at its ends but
// a different value (the client indices decide, so the lane is recomputed from the definition),
// or zeros at both ends of the window (their signs decide). `mean` is the window's mean as the
// sums computed it.
template <size_t T>
float settle_lane(const AroundMedianJob& job, const float* buf, size_t c0, size_t l,
                  size_t first, float mean) {
  constexpr size_t S = slot_floats_of(T);
  const Inputs& in = job.select.in;
  const size_t n = in.n, keep = job.keep, h = n / 2;
  double mm;
  if (n % 2 == 1) {
    mm = static_cast<double>(buf[h * S + l]);
  } else {
    const float a = buf[(h - 1) * S + l], b = buf[h * S + l];
    const float x = (a + b) * 0.5f;
    mm = static_cast<double>(
        is_finite(x) ? x
                     : static_cast<float>((static_cast<double>(a) + static_cast<double>(b)) * 0.5));
  }
  const auto dist = [&](size_t p) {
    return __builtin_fabs(static_cast<double>(buf[p * S + l]) - mm);
  };
  const auto value = [&](size_t p) { return buf[p * S + l]; };
  const size_t last = first + keep - 1;
  const size_t outside[2] = {first - 1, last + 1};  // first - 1 wraps when first is 0
  const size_t inside[2] = {first, last};
  bool ambiguous = false;
  for (size_t o = 0; o < 2; ++o) {
    if (outside[o] >= n) continue;
    for (size_t k = 0; k < 2; ++k) {
      ambiguous = ambiguous || (dist(outside[o]) == dist(inside[k]) &&
                                value(outside[o]) != value(inside[k]));
    }
  }
  if (ambiguous) return around_median_exact(in, c0 + l, keep);
  if (value(first) == 0.0f && value(last) == 0.0f) return kept_zeros(in, c0 + l, keep);
  return mean;
}

// Reduces one sorted tile (slots [0, n) ascending per lane, zeros as +0.0) to its results.
//
// The distances to m fall and then rise along the sorted slots, so the kept values are a window
// [s, s + keep) of them. With r = n - keep removed, s is the number of the r slots p < r whose
// value outranks its partner p + keep (the slot that would leave from the top instead) under a
// strict order of removal: larger distance first; on equal distances a value at or below m
// first, and along one side the value farther out first. That order is decreasing along the
// values at or below m and increasing along those above, which makes the count exact (the
// merge-path count of two ordered sequences). It differs from the client-index rule only among
// equal distances; whenever a removed and a kept value share a distance but not a value, the
// result depends on client indices and the lane is recomputed by around_median_exact.
template <class Ops, size_t T>
void around_median_reduce(const AroundMedianJob& job, const float* buf, size_t c0,
                          size_t len) {
  constexpr size_t S = slot_floats_of(T);
  const size_t n = job.select.in.n, keep = job.keep, r = n - keep, h = n / 2;
  using D = Doubles;
  using V = typename D::V;
  using M = typename D::M;
  constexpr size_t L = D::kLanes;
  constexpr size_t B = T / L;  // vectors per tile row; their sums advance together
  static_assert(T % L == 0 && T % Ops::kLanes == 0 && T <= 64, "tile must hold whole vectors");
  alignas(64) double m[T];
  if (n % 2 == 1) {
    for (size_t l = 0; l < T; ++l) m[l] = static_cast<double>(buf[h * S + l]);
  } else {
    alignas(64) float half[T];
    for (size_t w = 0; w < T; w += Ops::kLanes) {
      const typename Ops::V a = Ops::load(buf + (h - 1) * S + w), b = Ops::load(buf + h * S + w);
      Ops::store(half + w, Ops::mul(Ops::add(a, b), Ops::set1(0.5f)));
    }
    for (size_t l = 0; l < T; ++l) {
      const float a = buf[(h - 1) * S + l], b = buf[h * S + l];
      m[l] = static_cast<double>(
          is_finite(half[l])
              ? half[l]
              : static_cast<float>((static_cast<double>(a) + static_cast<double>(b)) * 0.5));
    }
  }
  const V zero = D::set1(0.0), one = D::set1(1.0);
  const V width = D::set1(static_cast<double>(keep));
  // Lane l of slot p lies at buf[p * S + l]; the gathers take whole-number indices as doubles.
  const V stride = D::set1(static_cast<double>(S));
  V col[B];
  {
    alignas(64) double lanes[T];
    for (size_t l = 0; l < T; ++l) lanes[l] = static_cast<double>(l);
    for (size_t b = 0; b < B; ++b) col[b] = D::load(lanes + b * L);
  }
  const auto at = [&](size_t b, V slot) {
    return D::gather(buf, D::add(D::mul(slot, stride), col[b]));
  };
  // The window start. When keep >= n / 2 (meamed's case), every slot p < r holds a value at or
  // below m and every slot p + keep one at or above it (m lies between the middle values), so
  // "p outranks its partner" is just dist(p) >= dist(p + keep), true for a prefix of p since
  // dist(p) falls and dist(p + keep) rises with p: the prefix is measured by binary lifting, a
  // few gathered comparisons per lane instead of r. A smaller keep (Bulyan's) counts the pairs
  // one by one. Distances |x - m| are the same double as m - x below m, since IEEE subtraction
  // is sign-symmetric.
  V start[B];
  for (size_t b = 0; b < B; ++b) start[b] = zero;
  if (keep >= h) {
    size_t top = 1;
    while (top * 2 <= r) top *= 2;
    const V limit = D::set1(static_cast<double>(r));
    for (size_t step = r > 0 ? top : 0; step > 0; step /= 2) {
      const V stepv = D::set1(static_cast<double>(step));
#pragma GCC unroll 16
      for (size_t b = 0; b < B; ++b) {
        const V mv = D::load(m + b * L);
        const V cand = D::add(start[b], stepv);
        const M fits = D::le(cand, limit);
        // A lane whose candidate passes r reads slot 0 and ignores the answer.
        const V p = D::select(fits, D::sub(cand, one), zero);
        const V x = at(b, p), y = at(b, D::add(p, width));
        const M take = D::both(fits, D::ge(D::abs_diff(x, mv), D::abs_diff(y, mv)));
        start[b] = D::select(take, cand, start[b]);
      }
    }
  } else {
    for (size_t p = 0; p < r; ++p) {
#pragma GCC unroll 16
      for (size_t b = 0; b < B; ++b) {
        const V mv = D::load(m + b * L);
        const V x = D::widen(buf + p * S + b * L);
        const V y = D::widen(buf + (p + keep) * S + b * L);
        const V da = D::abs_diff(x, mv), db = D::abs_diff(y, mv);
        const M first = D::either(D::gt(da, db), D::both(D::eq(da, db), D::le(x, mv)));
        start[b] = D::add(start[b], D::select(first, one, zero));
      }
    }
  }
  // The kept slots summed in ascending order; the others are skipped, where adding -0.0 would
  // change nothing. Slot p is kept when start <= p < start + keep; the first test can fail only
  // for p < r and the second only for p >= keep (0 <= start <= r), so with keep > r the slots
  // [r, keep) lie in every window and are added without a test.
  V sum[B], end[B];
  for (size_t b = 0; b < B; ++b) {
    sum[b] = D::set1(-0.0);
    end[b] = D::add(start[b], width);
  }
  const size_t low = r < keep ? r : keep, high = r < keep ? keep : r;
  for (size_t p = 0; p < low; ++p) {
    const V q = D::set1(static_cast<double>(p));
#pragma GCC unroll 16
    for (size_t b = 0; b < B; ++b) {
      sum[b] = D::add_if(D::le(start[b], q), sum[b], D::widen(buf + p * S + b * L));
    }
  }
  for (size_t p = low; p < high; ++p) {
    if (r < keep) {
#pragma GCC unroll 16
      for (size_t b = 0; b < B; ++b) sum[b] = D::add(sum[b], D::widen(buf + p * S + b * L));
      continue;
    }
    const V q = D::set1(static_cast<double>(p));
#pragma GCC unroll 16
    for (size_t b = 0; b < B; ++b) {
      const M kept = D::both(D::le(start[b], q), D::lt(q, end[b]));
      sum[b] = D::add_if(kept, sum[b], D::widen(buf + p * S + b * L));
    }
  }
  for (size_t p = high; p < n; ++p) {
    const V q = D::set1(static_cast<double>(p));
#pragma GCC unroll 16
    for (size_t b = 0; b < B; ++b) {
      sum[b] = D::add_if(D::lt(q, end[b]), sum[b], D::widen(buf + p * S + b * L));
    }
  }
  // The lanes settle_lane must decide, found with the same tests on gathered window ends: the
  // kept values nearest to being removed sit at the window's ends, the removed values nearest
  // to being kept just outside it.
  const V divisor = D::set1(static_cast<double>(keep));
  const V top_slot = D::set1(static_cast<double>(n - 1));
  const auto clash = [](V d0, V v0, V d1, V v1) {
    return D::both(D::eq(d0, d1), D::negate(D::eq(v0, v1)));
  };
  alignas(64) double mean[T];
  alignas(64) double firsts[T];
  uint64_t flagged = 0;
#pragma GCC unroll 16
  for (size_t b = 0; b < B; ++b) {
    const V mv = D::load(m + b * L);
    const V first = start[b], last = D::sub(end[b], one);
    const M has_below = D::gt(first, zero), has_above = D::lt(last, top_slot);
    const V vf = at(b, first), vl = at(b, last);
    const V vb = at(b, D::select(has_below, D::sub(first, one), first));
    const V va = at(b, D::select(has_above, D::add(last, one), last));
    const V df = D::abs_diff(vf, mv), dl = D::abs_diff(vl, mv);
    const V db = D::abs_diff(vb, mv), da = D::abs_diff(va, mv);
    const M below = D::both(has_below, D::either(clash(db, vb, df, vf), clash(db, vb, dl, vl)));
    const M above = D::both(has_above, D::either(clash(da, va, df, vf), clash(da, va, dl, vl)));
    const M zeros = D::both(D::eq(vf, zero), D::eq(vl, zero));
    flagged |= uint64_t{D::bits(D::either(D::either(below, above), zeros))} << (b * L);
    D::store(mean + b * L, D::div(sum[b], divisor));
    D::store(firsts + b * L, first);
  }
  float* out = job.out + c0;
  for (size_t l = 0; l < len; ++l) out[l] = static_cast<float>(mean[l]);
  for (; flagged != 0; flagged &= flagged - 1) {
    const size_t l = static_cast<size_t>(__builtin_ctzll(flagged));
    if (l >= len) break;
    out[l] = settle_lane<T>(job, buf, c0, l, static_cast<size_t>(firsts[l]), out[l]);
  }
}

// Copies coordinates [c0, c0 + len) of every update to stage + k * group, a run of
// coordinates contiguous in the update (the whole range when it is dense) at a time.
template <class Ops>
void stage_group(const Inputs& in, size_t c0, size_t len, size_t group, float* stage) {
  constexpr size_t L = Ops::kLanes;
  for (size_t k = 0; k < in.n; ++k) {
    float* dst = stage + k * group;
    for (size_t j = 0; j < len;) {
      const size_t c = c0 + j;
      const size_t seg = in.contiguous ? len - j : min_size(len - j, in.cols - c % in.cols);
      const float* src = coord_ptr(in, k, c);
      size_t s = 0;
      for (; s + L <= seg; s += L) Ops::store(dst + j + s, Ops::load(src + s));
      for (; s < seg; ++s) dst[j + s] = src[s];
      j += seg;
    }
  }
}

template <class Ops>
bool around_median_tiles(const AroundMedianJob& job, size_t tile_begin, size_t tile_end,
                         float* buf, const float** stage_bases) {
  constexpr size_t T = kAroundTile;
  const Inputs& in = job.select.in;
  const size_t d = in.rows * in.cols;
  // The updates are read a group of coordinates at a time into the stage, one long run per
  // update, and the tiles load from there: a tile alone reads only T floats from each of n
  // places, a pattern the hardware prefetchers follow poorly once n is in the tens.
  float* stage = buf + job.select.padded * slot_floats_of(T);
  const size_t group = around_median_stage(in.n);
  for (size_t k = 0; k < in.n; ++k) stage_bases[k] = stage + k * group;
  SelectJob staged = job.select;
  staged.in.bases = stage_bases;
  staged.in.rows = 1;
  staged.in.contiguous = true;
  const size_t stop = min_size(tile_end * T, d);
  for (size_t g0 = tile_begin * T; g0 < stop; g0 += group) {
    const size_t glen = min_size(group, stop - g0);
    stage_group<Ops>(in, g0, glen, group, stage);
    staged.in.cols = glen;
    // The next group's lines are requested a few per tile, while this group is sorted (for
    // dense updates; strided rows are left to the hardware).
    const size_t next = g0 + glen;
    const size_t next_len = in.contiguous && next < stop ? min_size(group, stop - next) : 0;
    const size_t lines = next_len / 16, per_tile = (lines * in.n * T + glen - 1) / glen;
    size_t pk = 0, pq = 0;
    for (size_t j = 0; j < glen; j += T) {
      const size_t len = min_size(T, glen - j);
      for (size_t i = 0; i < per_tile && pk < in.n; ++i) {
        __builtin_prefetch(in.bases[pk] + next + pq * 16, 0, 3);
        if (++pq == lines) {
          pq = 0;
          ++pk;
        }
      }
      if (!load_and_sort_blocks<Ops, T>(staged, j, len, buf)) return false;
      run_network<Ops, T>(job.select, buf);
      around_median_reduce<Ops, T>(job, buf, g0 + j, len);
    }
  }
  return true;
}
