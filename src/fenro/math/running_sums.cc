#include "fenro/math/running_sums.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include "fenro/math/running_sums_kernels.h"
#include "fenro/update/element_runs.h"
#include "fenro/parallel/pool.h"

namespace fenro::math {
namespace {

// Continues `s` over coordinates [lo, hi) of `u`, one element at a time; with `ref`, each term
// is the difference from ref's element of the same coordinate (ref walked by its own shape).
double continue_scalar(const UpdateView& u, const UpdateView* ref, size_t lo, size_t hi,
                       double s) {
  if (lo >= hi) return s;  // also covers updates without columns, whose data may be null
  size_t r = lo / u.cols, c = lo % u.cols;
  if (ref == nullptr || ref->same_shape(u)) {
    for (size_t left = hi - lo; left > 0; ++r, c = 0) {
      const size_t len = std::min(u.cols - c, left);
      const float* p = u.row(r) + c;
      const float* q = ref ? ref->row(r) + c : nullptr;
      for (size_t t = 0; t < len; ++t) {
        const double x = q ? static_cast<double>(p[t]) - static_cast<double>(q[t])
                           : static_cast<double>(p[t]);
        s += x * x;
      }
      left -= len;
    }
    return s;
  }
  size_t rr = lo / ref->cols, rc = lo % ref->cols;
  for (size_t t = lo; t < hi; ++t) {
    const double x = static_cast<double>(u.at(r, c)) - static_cast<double>(ref->at(rr, rc));
    s += x * x;
    if (++c == u.cols) c = 0, ++r;
    if (++rc == ref->cols) rc = 0, ++rr;
  }
  return s;
}

// Groups of four updates on the pool; a group whose members share one shape (and the
// reference's, when given) takes the four-lane path, any other update the scalar one.
void batch(std::span<const UpdateView> updates, const UpdateView* reference, size_t lo,
           size_t hi, double* running, simd::Target target) {
  const size_t n = updates.size();
  if (n == 0 || lo >= hi) return;
  const size_t groups = (n + 3) / 4;
  // Few long ranges: one group per task; many short ones: fewer, larger tasks.
  const size_t grain = std::max<size_t>(1, (size_t{1} << 16) / ((hi - lo) * 4));
  parallel::parallel_for(groups, grain, [&](size_t b, size_t e) {
    for (size_t g = b; g < e; ++g) {
      const size_t first = 4 * g, last = std::min(n, first + 4);
      bool vector = false;
#if defined(FENRO_X86)
      if (target != simd::Target::kScalar) {
        vector = true;
        for (size_t k = first; k < last; ++k) {
          vector = vector && updates[k].same_shape(updates[first]) &&
                   (reference == nullptr || updates[k].same_shape(*reference));
        }
      }
      if (vector) {
        UpdateView u[4];
        double s[4];
        for (size_t k = 0; k < 4; ++k) {  // short groups repeat their last update
          u[k] = updates[std::min(first + k, last - 1)];
          s[k] = running[std::min(first + k, last - 1)];
        }
        detail::continue4_avx2(u, reference, lo, hi, s);
        for (size_t k = first; k < last; ++k) running[k] = s[k - first];
      }
#else
      (void)target;
#endif
      if (!vector) {
        for (size_t k = first; k < last; ++k)
          running[k] = continue_scalar(updates[k], reference, lo, hi, running[k]);
      }
    }
  });
}

}  // namespace

namespace detail {

void continue_sums_of_squares_with(std::span<const UpdateView> updates, size_t lo, size_t hi,
                                   double* running, simd::Target target) {
  batch(updates, nullptr, lo, hi, running, target);
}

void continue_sums_of_squared_differences_with(std::span<const UpdateView> updates,
                                               const UpdateView& reference, size_t lo, size_t hi,
                                               double* running, simd::Target target) {
  batch(updates, &reference, lo, hi, running, target);
}

}  // namespace detail

void continue_sums_of_squares(std::span<const UpdateView> updates, size_t lo, size_t hi,
                              double* running) {
  batch(updates, nullptr, lo, hi, running, simd::best_target());
}

void continue_sums_of_squared_differences(std::span<const UpdateView> updates,
                                          const UpdateView& reference, size_t lo, size_t hi,
                                          double* running) {
  batch(updates, &reference, lo, hi, running, simd::best_target());
}

void l2_norms_f64(const update::Pieces& pieces, double* out) {
  std::fill(out, out + pieces.count(), kRunningSumStart);
  for (size_t p = 0; p < pieces.piece_count(); ++p) {
    const std::span<const UpdateView> piece = pieces.piece(p);
    continue_sums_of_squares(piece, 0, piece[0].size(), out);
  }
  for (size_t i = 0; i < pieces.count(); ++i) out[i] = std::sqrt(out[i]);
}

void l2_distances_f64(const update::Pieces& pieces, std::span<const UpdateView> reference,
                      double* out) {
  std::fill(out, out + pieces.count(), kRunningSumStart);
  for (size_t p = 0; p < pieces.piece_count(); ++p) {
    const std::span<const UpdateView> piece = pieces.piece(p);
    continue_sums_of_squared_differences(piece, reference[p], 0, piece[0].size(), out);
  }
  for (size_t i = 0; i < pieces.count(); ++i) out[i] = std::sqrt(out[i]);
}

void continue_sums_of_squared_differences_to_point(std::span<const UpdateView> updates,
                                                   const double* point, size_t lo, size_t hi,
                                                   double* running) {
  parallel::parallel_for(updates.size(), 1, [&](size_t b, size_t e) {
    for (size_t i = b; i < e; ++i) {
      double s = running[i];
      update::for_each_run(updates[i], lo, hi, [&](const float* x, size_t count, size_t at) {
        const double* q = point + at;
        for (size_t c = 0; c < count; ++c) {
          const double t = static_cast<double>(x[c]) - q[c];
          s += t * t;
        }
      });
      running[i] = s;
    }
  });
}

void l2_distances_to_point_f64(const update::Pieces& pieces, const double* point, double* out) {
  const size_t n = pieces.count();
  std::fill(out, out + n, kRunningSumStart);
  for (size_t p = 0; p < pieces.piece_count(); ++p) {
    const std::span<const UpdateView> piece = pieces.piece(p);
    continue_sums_of_squared_differences_to_point(piece, point + pieces.offset(p), 0,
                                                  piece[0].size(), out);
  }
  for (size_t i = 0; i < n; ++i) out[i] = std::sqrt(out[i]);
}

SumBounds bounds_of_reordered_sum(double sum, uint64_t terms) {
  // Sums of non-negative terms: the result of every addition, in any order, is at least each
  // operand and at most the final sum. So a final sum below DBL_MIN means every addition had a
  // result below 2^-1021, where doubles are exact; no order rounds, and all agree. Non-finite
  // sums agree too: NaN when a term is NaN, else +inf when a term is +inf (finite squares of
  // float32 values stay below 2^256, so no order overflows).
  if (!std::isfinite(sum) || sum < DBL_MIN || terms <= 1) return {sum, sum};
  if (terms > (uint64_t{1} << 43)) return {0.0, std::numeric_limits<double>::infinity()};
  // Any order of m non-negative terms lies within g * T of their exact sum T, with
  // g = (m - 1)u / (1 - (m - 1)u) and u = 2^-53 (there is no underflow error: additions of
  // doubles that underflow are exact). Two sums s and s' then satisfy
  // s' (1 - g) / (1 + g) <= s <= s' (1 + g) / (1 - g), and with m u <= 2^-10 both factors are
  // within 2.01 (m - 1) u of 1. r = 3 m u leaves more than the two roundings of evaluating
  // sum * (1 -+ r) below.
  const double r = 3.0 * static_cast<double>(terms) * 0x1p-53;
  return {sum * (1.0 - r), sum * (1.0 + r)};
}

}  // namespace fenro::math
