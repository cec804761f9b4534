// Gram blocks of the Krum scores over float64 panels, generic over a vector type. Included
// once per SIMD target, inside that target's own namespace, by krum_<target>.cc; it must
// contain nothing but code of that namespace, so no inline symbol is shared between targets.
//
// Why doubles are exact here: a panel row holds 16-bit mantissas as doubles, so every product
// is an integer of magnitude at most 2^30, and every partial sum of fewer than 2^23 of them is
// an integer below 2^53. A float64 multiply-add on such values rounds nothing, whatever the
// order, so each lane's sum, and the sum of the lanes, is the exact integer.
//
// `Ops` provides: V, kLanes, kRows, kCols (the register block), zero(), load(p) (p aligned to
// the vector), fma(a, b, acc) = a * b + acc, and sums(acc, out): out[r * kCols + c] = the sum
// of the lanes of acc[r][c].
//
// Requires before inclusion: <cstddef>, <cstdint> and krum_kernels.h.

inline size_t min_size(size_t a, size_t b) { return a < b ? a : b; }

// The dot products of rows a[0..kRows) with rows b[0..kCols) over `len` elements (a multiple
// of kLanes), into out[r * kCols + c]. The loop is loads and multiply-adds only.
template <class Ops>
inline void block(const double* const* a, const double* const* b, size_t len, double* out) {
  constexpr size_t R = Ops::kRows, C = Ops::kCols;
  typename Ops::V acc[R][C];
#pragma GCC unroll 8
  for (size_t r = 0; r < R; ++r) {
#pragma GCC unroll 8
    for (size_t c = 0; c < C; ++c) acc[r][c] = Ops::zero();
  }
  for (size_t t = 0; t < len; t += Ops::kLanes) {
    typename Ops::V x[R], y[C];
#pragma GCC unroll 8
    for (size_t r = 0; r < R; ++r) x[r] = Ops::load(a[r] + t);
#pragma GCC unroll 8
    for (size_t c = 0; c < C; ++c) y[c] = Ops::load(b[c] + t);
#pragma GCC unroll 8
    for (size_t r = 0; r < R; ++r) {
#pragma GCC unroll 8
      for (size_t c = 0; c < C; ++c) acc[r][c] = Ops::fma(x[r], y[c], acc[r][c]);
    }
  }
  Ops::sums(acc, out);
}

// See panel_gram_avx2 in krum_kernels.h. Blocks at the edges repeat their last row, and the
// sums of repeated rows are dropped, so every cell gets its dot product exactly once.
template <class Ops>
void panel_gram(const double* panel, size_t n, size_t stride, size_t len, size_t row_lo,
                size_t row_hi, bool upper, int64_t* table, const void* const* prefetch,
                size_t prefetch_count) {
  constexpr size_t R = Ops::kRows, C = Ops::kCols;
  // The prefetches are spread evenly over the blocks: a burst would fill the line buffers and
  // stall the multiply-adds behind it.
  size_t blocks = 0;
  for (size_t i = row_lo; i < row_hi; i += R) blocks += (n - (upper ? i : 0) + C - 1) / C;
  const size_t per_block = blocks > 0 ? (prefetch_count + blocks - 1) / blocks : 0;
  size_t fetched = 0;
  for (size_t i = row_lo; i < row_hi; i += R) {
    const double* a[R];
    for (size_t r = 0; r < R; ++r) a[r] = panel + min_size(i + r, row_hi - 1) * stride;
    for (size_t j = upper ? i : 0; j < n; j += C) {
      for (size_t f = 0; f < per_block && fetched < prefetch_count; ++f, ++fetched) {
        __builtin_prefetch(prefetch[fetched], 0, 2);
      }
      const double* b[C];
      for (size_t c = 0; c < C; ++c) b[c] = panel + min_size(j + c, n - 1) * stride;
      double s[R * C];
      block<Ops>(a, b, len, s);
      for (size_t r = 0; r < R && i + r < row_hi; ++r) {
        int64_t* row = table + (i + r - row_lo) * n;
        for (size_t c = 0; c < C && j + c < n; ++c) {
          if (upper && j + c < i + r) continue;
          row[j + c] += static_cast<int64_t>(s[r * C + c]);  // an exact integer below 2^53
        }
      }
    }
  }
}
