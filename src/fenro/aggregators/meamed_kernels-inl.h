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
  static V abs_diff(V a, V b) { return _mm512_abs_pd(_mm512_sub_pd(a, b)); }
  static M gt(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
  static M lt(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
  static M ge(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
  static M le(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
  static M eq(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
  static M both(M a, M b) { return static_cast<M>(a & b); }
  static M either(M a, M b) { return static_cast<M>(a | b); }
  static V select(M m, V yes, V no) { return _mm512_mask_blend_pd(m, no, yes); }
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
  static V abs_diff(V a, V b) { return __builtin_fabs(a - b); }
  static M gt(V a, V b) { return a > b; }
  static M lt(V a, V b) { return a < b; }
  static M ge(V a, V b) { return a >= b; }
  static M le(V a, V b) { return a <= b; }
  static M eq(V a, V b) { return a == b; }
  static M both(M a, M b) { return a && b; }
  static M either(M a, M b) { return a || b; }
  static V select(M m, V yes, V no) { return m ? yes : no; }
};
#endif

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
template <size_t T>
void around_median_reduce(const AroundMedianJob& job, const float* buf, size_t c0,
                          size_t len) {
  const Inputs& in = job.select.in;
  const size_t n = in.n, keep = job.keep, r = n - keep, h = n / 2;
  using D = Doubles;
  constexpr size_t L = D::kLanes;
  alignas(64) double m[T];
  alignas(64) double acc[T];
  alignas(64) double s[T];
  if (n % 2 == 1) {
    for (size_t l = 0; l < T; ++l) m[l] = static_cast<double>(buf[h * S + l]);
  } else {
    for (size_t l = 0; l < T; ++l) {
      const float a = buf[(h - 1) * S + l], b = buf[h * S + l];
      const float x = (a + b) * 0.5f;
      m[l] = static_cast<double>(
          is_finite(x) ? x
                       : static_cast<float>((static_cast<double>(a) + static_cast<double>(b)) * 0.5));
    }
  }
  constexpr size_t B = T / L;  // vectors per tile row; their sums advance together
  const typename D::V one = D::set1(1.0), zero = D::set1(0.0), neg_zero = D::set1(-0.0);
  const typename D::V width = D::set1(static_cast<double>(keep));
  // The window start: slot p < r outranks its partner p + keep (distances |x - m| are the same
  // double as m - x below m, since IEEE subtraction is sign-symmetric).
  typename D::V start[B];
  for (size_t b = 0; b < B; ++b) start[b] = zero;
  for (size_t p = 0; p < r; ++p) {
#pragma GCC unroll 16
    for (size_t b = 0; b < B; ++b) {
      const typename D::V mv = D::load(m + b * L);
      const typename D::V x = D::widen(buf + p * S + b * L);
      const typename D::V y = D::widen(buf + (p + keep) * S + b * L);
      const typename D::V da = D::abs_diff(x, mv), db = D::abs_diff(y, mv);
      const typename D::M first = D::either(D::gt(da, db), D::both(D::eq(da, db), D::le(x, mv)));
      start[b] = D::add(start[b], D::select(first, one, zero));
    }
  }
  // The kept slots summed in ascending order; the others add -0.0, which changes nothing.
  // Slots [r, keep) lie in every window (0 <= start <= r) and are added without a test.
  typename D::V sum[B];
  for (size_t b = 0; b < B; ++b) sum[b] = neg_zero;
  for (size_t p = 0; p < n; ++p) {
    if (p >= r && p < keep) {
#pragma GCC unroll 16
      for (size_t b = 0; b < B; ++b) sum[b] = D::add(sum[b], D::widen(buf + p * S + b * L));
      continue;
    }
    const typename D::V q = D::set1(static_cast<double>(p));
#pragma GCC unroll 16
    for (size_t b = 0; b < B; ++b) {
      const typename D::M kept = D::both(D::ge(q, start[b]), D::lt(q, D::add(start[b], width)));
      sum[b] = D::add(sum[b], D::select(kept, D::widen(buf + p * S + b * L), neg_zero));
    }
  }
  for (size_t b = 0; b < B; ++b) {
    D::store(s + b * L, start[b]);
    D::store(acc + b * L, sum[b]);
  }
  const double divisor = static_cast<double>(keep);
  for (size_t l = 0; l < len; ++l) {
    const double mm = m[l];
    const auto dist = [&](size_t p) { return __builtin_fabs(static_cast<double>(buf[p * S + l]) - mm); };
    const auto value = [&](size_t p) { return buf[p * S + l]; };
    // The kept values nearest to being removed sit at the window's ends, the removed values
    // nearest to being kept just outside it.
    const size_t first = static_cast<size_t>(s[l]), last = first + keep - 1;
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
    float res;
    if (ambiguous) {
      res = around_median_exact(in, c0 + l, keep);
    } else {
      res = static_cast<float>(acc[l] / divisor);
      if (value(first) == 0.0f && value(last) == 0.0f) res = kept_zeros(in, c0 + l, keep);
    }
    job.out[c0 + l] = res;
  }
}

template <class Ops>
bool around_median_tiles(const AroundMedianJob& job, size_t tile_begin, size_t tile_end,
                         float* buf) {
  constexpr size_t T = kSelectTile;
  const size_t d = job.select.in.rows * job.select.in.cols;
  for (size_t t = tile_begin; t < tile_end; ++t) {
    const size_t c0 = t * T;
    const size_t len = min_size(T, d - c0);
    if (!load_and_sort_blocks<Ops, T>(job.select, c0, len, buf)) return false;
    run_network<Ops, T>(job.select, buf);
    around_median_reduce<T>(job, buf, c0, len);
  }
  return true;
}
