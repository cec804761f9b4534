#include "fenro/update/range_scan.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "fenro/parallel/pool.h"
#include "fenro/update/range_scan_kernels.h"

namespace fenro::update {
namespace {

constexpr uint32_t kInfBits = 0x7f800000u;

float from_bits(uint32_t bits) {
  float x;
  std::memcpy(&x, &bits, sizeof x);
  return x;
}

// Coordinates per task of scan_ranges: long enough to amortise a task, short enough to spread
// a single long update over the pool.
constexpr size_t kChunk = size_t{1} << 18;

}  // namespace

namespace detail {

uint32_t max_magnitude_bits_scalar(const float* v, size_t n, uint32_t m) {
  for (size_t t = 0; t < n; ++t) {
    uint32_t bits;
    std::memcpy(&bits, v + t, sizeof bits);
    bits &= 0x7fffffffu;
    m = bits > m ? bits : m;
  }
  return m;
}

RangeScan scan_range_with(const UpdateView& u, size_t lo, size_t hi, simd::Target target) {
  auto max_bits = &max_magnitude_bits_scalar;
#if defined(FENRO_X86)
  if (target != simd::Target::kScalar) max_bits = &max_magnitude_bits_avx2;
#else
  (void)target;
#endif
  RangeScan out;
  if (lo >= hi) return out;  // also covers updates without columns, whose data may be null
  uint32_t top = 0;          // largest magnitude bits of the finite elements
  size_t r = lo / u.cols, c = lo % u.cols;
  for (size_t left = hi - lo; left > 0; ++r, c = 0) {
    const size_t len = std::min(u.cols - c, left);
    const float* p = u.row(r) + c;
    const uint32_t row_top = max_bits(p, len, 0);
    if (row_top < kInfBits) {
      top = std::max(top, row_top);
    } else {
      // Only a row holding a NaN or an infinity is walked element by element.
      for (size_t t = 0; t < len; ++t) {
        if (std::isfinite(p[t])) {
          top = std::max(top, max_bits(p + t, 1, 0));
        } else if (!out.first_non_finite) {
          out.first_non_finite = r * u.cols + c + t;
          out.value = p[t];
        }
      }
    }
    left -= len;
  }
  out.max_abs = from_bits(top);
  return out;
}

void scan_ranges_with(std::span<const UpdateView> updates, size_t lo, size_t hi, RangeScan* out,
                      simd::Target target) {
  const size_t n = updates.size();
  const size_t chunks = hi > lo ? (hi - lo + kChunk - 1) / kChunk : 0;
  for (size_t k = 0; k < n; ++k) out[k] = RangeScan{};
  if (chunks == 0) return;
  std::vector<RangeScan> parts(n * chunks);
  parallel::parallel_for(parts.size(), 1, [&](size_t b, size_t e) {
    for (size_t t = b; t < e; ++t) {
      const size_t k = t / chunks, c0 = lo + (t % chunks) * kChunk;
      parts[t] = scan_range_with(updates[k], c0, std::min(hi, c0 + kChunk), target);
    }
  });
  for (size_t t = 0; t < parts.size(); ++t) append_scan(out[t / chunks], parts[t], 0);
}

}  // namespace detail

RangeScan scan_range(const UpdateView& u, size_t lo, size_t hi) {
  return detail::scan_range_with(u, lo, hi, simd::best_target());
}

void scan_ranges(std::span<const UpdateView> updates, size_t lo, size_t hi, RangeScan* out) {
  detail::scan_ranges_with(updates, lo, hi, out, simd::best_target());
}

void append_scan(RangeScan& acc, const RangeScan& next, uint64_t offset) {
  if (!acc.first_non_finite && next.first_non_finite) {
    acc.first_non_finite = offset + *next.first_non_finite;
    acc.value = next.value;
  }
  acc.max_abs = std::max(acc.max_abs, next.max_abs);
}

Status non_finite_status(const RangeScan& scan, uint64_t index, size_t cols) {
  if (!scan.first_non_finite) return {};
  const uint64_t c = *scan.first_non_finite;
  return error::NonFiniteValue{scan.value, index, c / cols, c % cols};
}

}  // namespace fenro::update
