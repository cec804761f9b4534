// Internals of the float64 kernels of distances.h and means.h: the plain job structs and the
// per-target inner loops, plus the public operations on an explicit SIMD target so that tests
// can run every target the CPU has.
//
// The per-target translation units (f64_kernels_<target>.cc) see only the plain structs below:
// no standard-library templates cross into code compiled with wider instruction sets.
#ifndef FENRO_MATH_F64_KERNELS_H_
#define FENRO_MATH_F64_KERNELS_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "fenro/simd/cpu.h"
#include "fenro/update/update.h"
#include "fenro/update/update_stack.h"

namespace fenro::math::detail {

// Updates per group of the pairwise tile: the lanes of one column block.
inline constexpr size_t kPairGroup = 8;
// Rows of the table one call of pair_rows advances together.
inline constexpr size_t kPairRows = 4;

// One element chunk of every update, as float64 in groups of kPairGroup updates:
// tile[(g * stride + t) * kPairGroup + l] is element t of the chunk of update g * kPairGroup + l.
// pair_rows adds to table[i * table_stride + j], for the kPairRows rows rows[0..3] and every
// column j of groups [g_begin, groups), the squares (x_i[t] - x_j[t])^2 for t = 0 .. len - 1 in
// order: each table entry is one sequential sum, carried from chunk to chunk.
struct PairJob {
  const double* tile;
  size_t len;
  size_t stride;
  size_t groups;
  double* table;
  size_t table_stride;
};
void pair_rows_scalar(const PairJob& job, const size_t rows[kPairRows], size_t g_begin);
// Column block of one group: dst[t * kPairGroup + l] = double(src[l][t]) for t < len.
void pair_fill_scalar(const float* const* src, size_t len, double* dst);
void pair_fill_avx2(const float* const* src, size_t len, double* dst);
void pair_fill_avx512(const float* const* src, size_t len, double* dst);
void pair_rows_avx2(const PairJob& job, const size_t rows[kPairRows], size_t g_begin);
void pair_rows_avx512(const PairJob& job, const size_t rows[kPairRows], size_t g_begin);

// Rows and columns of one Gram register block.
inline constexpr size_t kGramBlock = 4;
// Lanes of every Gram sum: each dot product runs as 8 interleaved partial sums (lane l takes the
// elements t = l mod 8 of a chunk, in order), combined as ((s0 + s1) + (s2 + s3)) + ((s4 + s5) +
// (s6 + s7)) and added to the running sum of the pair, chunk after chunk.
inline constexpr size_t kGramLanes = 8;

// One element chunk of every update as float64 rows: tile[j * stride + t], len a multiple of
// kGramLanes (padded with zeros). gram_block adds to table[i * n + j] the dot product of rows i
// and j over the chunk, for i in rows[0 .. kGramBlock) and j in cols[0 .. kGramBlock) (a short last
// block repeats its last index; each cell is added once). Products of float32 values
// are exact in float64, so a fused multiply-add rounds exactly as a product and a sum.
struct GramJob {
  const double* tile;
  size_t len;
  size_t stride;
  double* table;
  size_t n;
};
void gram_block_scalar(const GramJob& job, const size_t rows[kGramBlock], const size_t cols[kGramBlock]);
void gram_block_avx2(const GramJob& job, const size_t rows[kGramBlock], const size_t cols[kGramBlock]);
void gram_block_avx512(const GramJob& job, const size_t rows[kGramBlock], const size_t cols[kGramBlock]);

// Coordinates per block of the list-mean tile.
inline constexpr size_t kMixBlock = 16;

// One coordinate chunk of every update as float64, in blocks of kMixBlock coordinates:
// tile[(b * n + k) * kMixBlock + l] is coordinate b * kMixBlock + l of the chunk of update k.
// mix_rows writes, for each output r in todo[0 .. todo_count), coordinates [0, len) of the chunk
// to out[r * out_stride + l]: float32 of (sum of the members' values in list order, from -0.0)
// times the float64 reciprocal of the member count. Output r's members are members[offsets[r] .. offsets[r + 1]).
//
// With `excluded_offsets` set, every list has distinct members and output r's complement among the n
// updates is excluded[excluded_offsets[r] .. excluded_offsets[r + 1]). In a block where every
// sum of its values is exact in float64 whatever the order (exact_block says so), a list's sum
// is then taken as the total of all n rows minus the excluded ones: the same exact value as the
// sum in list order, for far fewer additions when the lists are long. A zero sum, whose sign
// depends on the order, is summed in list order instead.
struct MixJob {
  const double* tile;
  size_t n;
  size_t len;
  const uint32_t* offsets;
  const uint32_t* members;
  const uint32_t* todo;
  size_t todo_count;
  float* out;
  size_t out_stride;
  const uint32_t* excluded_offsets;  // null: every sum in list order
  const uint32_t* excluded;
  double exact_ratio;  // exact_ratio_for(n)
};

// Sums of n float32 values, in any order and over any subset, are exact in float64 when the
// largest magnitude is at most exact_ratio_for(n) times the smallest nonzero one: the values are
// then multiples of one power of two q, and every partial sum is a multiple of q below 2^53 q.
// (With e the binary exponents, e_max - e_min <= 29 - ceil(log2 n) suffices, and a ratio up to
// 2^(29 - ceil(log2 n)) implies it.) Zero when no ratio does.
inline double exact_ratio_for(size_t n) {
  int bits = 0;
  while (bits < 64 && (size_t{1} << bits) < n) ++bits;
  if (bits > 29) return 0.0;
  return static_cast<double>(uint64_t{1} << (29 - bits));
}
void mix_rows_scalar(const MixJob& job);
// Writes src[0 .. len) widened to float64 in blocks of kMixBlock `stride` doubles apart (element
// t at dst[(t / kMixBlock) * stride + t % kMixBlock]); false when a value is NaN or infinite.
bool mix_fill_scalar(const float* src, size_t len, double* dst, size_t stride);
bool mix_fill_avx2(const float* src, size_t len, double* dst, size_t stride);
bool mix_fill_avx512(const float* src, size_t len, double* dst, size_t stride);
void mix_rows_avx2(const MixJob& job);
void mix_rows_avx512(const MixJob& job);

// out[l] = float32((sum over k < count of double(src[k][l]), in order from -0.0) * scale) for
// l < len: the list mean of mix_rows read straight from dense float32 rows, for short lists
// where widening every update into a tile would cost more than the sums. False when a value
// read is NaN or infinite.
bool list_mean_scalar(const float* const* src, size_t count, double scale, size_t len, float* out);
bool list_mean_avx2(const float* const* src, size_t count, double scale, size_t len, float* out);
bool list_mean_avx512(const float* const* src, size_t count, double scale, size_t len, float* out);

// out[l] = sum over k < n in order, from +0.0, of coeffs[k] * (double(src[k][l]) - base[l]) for
// l < len; base may be null (read as zeros).
void weighted_sum_scalar(const float* const* src, const double* coeffs, size_t n,
                         const double* base, size_t len, double* out);
void weighted_sum_avx2(const float* const* src, const double* coeffs, size_t n,
                       const double* base, size_t len, double* out);
void weighted_sum_avx512(const float* const* src, const double* coeffs, size_t n,
                         const double* base, size_t len, double* out);

// `count` doubles, 64-byte aligned so that no vector load of a tile straddles two cache lines,
// set to zero.
struct FreeDeleter {
  void operator()(double* p) const { std::free(p); }
};
inline std::unique_ptr<double[], FreeDeleter> aligned_doubles(size_t count) {
  const size_t bytes = ((count > 0 ? count : 1) * sizeof(double) + 63) & ~size_t{63};
  auto* p = static_cast<double*>(std::aligned_alloc(64, bytes));
  if (p == nullptr) throw std::bad_alloc();
  for (size_t i = 0; i < count; ++i) p[i] = 0.0;
  return std::unique_ptr<double[], FreeDeleter>(p);
}

// The inner loops of one target.
struct Kernels {
  void (*pair_rows)(const PairJob&, const size_t*, size_t);
  void (*pair_fill)(const float* const*, size_t, double*);
  void (*mix_rows)(const MixJob&);
  bool (*mix_fill)(const float*, size_t, double*, size_t);
  void (*gram_block)(const GramJob&, const size_t*, const size_t*);
  void (*weighted_sum)(const float* const*, const double*, size_t, const double*, size_t, double*);
  bool (*list_mean)(const float* const*, size_t, double, size_t, float*);
};
const Kernels& kernels_for(simd::Target target);

// The public operations on a chosen target (which the CPU must support).
std::vector<double> pairwise_sq_distances_with(std::span<const UpdateView> updates,
                                               simd::Target target);
std::optional<std::vector<uint32_t>> nearest_with(std::span<const UpdateView> updates, size_t k,
                                                  simd::Target target);
// The Gram table of the updates (n x n, symmetric) and the number of float64 roundings any of
// its sums went through, for the error bound of nearest_with.
std::vector<double> gram_with(std::span<const UpdateView> updates, simd::Target target,
                              size_t* depth);
bool average_lists_with(std::span<const UpdateView> updates, std::span<const uint32_t> offsets,
                        std::span<const uint32_t> members, UpdateStack& out,
                        simd::Target target);
void weighted_sum_with(std::span<const UpdateView> updates, std::span<const double> coeffs,
                       const double* base, double* out, simd::Target target);

}  // namespace fenro::math::detail

#endif  // FENRO_MATH_F64_KERNELS_H_
