#include "fenro/aggregators/bfp16.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "fenro/aggregators/bfp16_kernels.h"
#include "fenro/parallel/pool.h"

namespace fenro::aggregators {

namespace detail {

float max_abs_scalar(const float* v, size_t n, float m) {
  for (size_t t = 0; t < n; ++t) {
    const float a = std::fabs(v[t]);
    m = a > m ? a : m;  // a NaN compares false and is skipped
  }
  return m;
}

void encode_scalar(const float* v, size_t n, float scale, int16_t* out) {
  for (size_t t = 0; t < n; ++t) {
    float x = v[t] * scale;
    if (x != x) {
      out[t] = 0;
      continue;
    }
    x = x > 32767.0f ? 32767.0f : x;
    x = x < -32767.0f ? -32767.0f : x;
    // Half away from zero. trunc(x + 0.5) would round 0.49999997 up (the sum rounds to 1), so
    // truncate first and look at the remainder, which is exact for |x| <= 32767.
    int32_t i = static_cast<int32_t>(x);
    const float r = x - static_cast<float>(i);
    if (r >= 0.5f) ++i;
    if (r <= -0.5f) --i;
    out[t] = static_cast<int16_t>(i);
  }
}

int8_t exponent_for(float max_abs) {
  // ceil and "- 15" stay in single precision; the value is integral, so truncation toward zero
  // is exact, and saturating to -128..127 then clamping to -126..126 is one clamp.
  const float e = std::ceil(log2f(max_abs)) - 15.0f;
  if (!(e < 126.0f)) return 126;
  if (!(e > -126.0f)) return -126;
  return static_cast<int8_t>(e);
}

float scale_for(int8_t exponent) {
  const uint32_t bits = static_cast<uint32_t>(127 - exponent) << 23;
  float s;
  std::memcpy(&s, &bits, sizeof s);
  return s;
}

namespace {

// Calls f(ptr, count, offset) for the row-major element range [lo, hi) of `u`, one call per
// contiguous run.
template <class F>
void for_each_run(const UpdateView& u, size_t lo, size_t hi, F&& f) {
  if (lo >= hi) return;
  if (u.contiguous()) {
    f(u.data + lo, hi - lo, lo);
    return;
  }
  size_t r = lo / u.cols, c = lo % u.cols, t = lo;
  while (t < hi) {
    const size_t take = std::min(u.cols - c, hi - t);
    f(u.row(r) + c, take, t);
    t += take;
    ++r;
    c = 0;
  }
}

// Elements per task: large enough to amortise scheduling, small enough to balance 2..n threads.
constexpr size_t kTaskElems = size_t{1} << 17;


// Task t covers the element range task_range(t) of update task_update(t), as numbered by
// `first_task` (first task of each update, then the total).
size_t task_update(const std::vector<size_t>& first_task, size_t t) {
  return static_cast<size_t>(std::upper_bound(first_task.begin(), first_task.end(), t) -
                             first_task.begin()) -
         1;
}
std::pair<size_t, size_t> task_range(std::span<const UpdateView> updates,
                                     const std::vector<size_t>& first_task, size_t t, size_t k) {
  const size_t lo = (t - first_task[k]) * kTaskElems;
  return {lo, std::min(updates[k].size(), lo + kTaskElems)};
}

std::vector<size_t> number_tasks(std::span<const UpdateView> updates) {
  const size_t n = updates.size();
  std::vector<size_t> first_task(n + 1, 0);
  for (size_t k = 0; k < n; ++k) {
    const size_t sz = updates[k].size();
    first_task[k + 1] = first_task[k] + (sz + kTaskElems - 1) / kTaskElems;
  }
  return first_task;
}

// The largest magnitude (NaN skipped) of every task's range, and whether that range is free of
// NaN and infinity (always false on the scalar path, which never needs it).
void partial_maxima(std::span<const UpdateView> updates, bool vector,
                    const std::vector<size_t>& first_task, std::vector<float>& part_max,
                    std::vector<char>& part_finite) {
  const size_t tasks = first_task.back();
  parallel::parallel_for(tasks, 1, [&](size_t b, size_t e) {
    for (size_t t = b; t < e; ++t) {
      const size_t k = task_update(first_task, t);
      const auto [lo, hi] = task_range(updates, first_task, t, k);
      float m = 0.0f;
      bool finite = false;
#if defined(FENRO_X86)
      if (vector) {
        uint32_t bits = 0;
        for_each_run(updates[k], lo, hi, [&](const float* p, size_t cnt, size_t) {
          bits = max_abs_bits_avx2(p, cnt, bits);
        });
        finite = bits < 0x7f800000u;
        if (bits <= 0x7f800000u) {
          std::memcpy(&m, &bits, sizeof m);
        } else {  // a NaN hides the maximum of the other values: look again, skipping NaN
          for_each_run(updates[k], lo, hi,
                       [&](const float* p, size_t cnt, size_t) { m = max_abs_avx2(p, cnt, m); });
        }
      }
#endif
      if (!vector) {
        for_each_run(updates[k], lo, hi,
                     [&](const float* p, size_t cnt, size_t) { m = max_abs_scalar(p, cnt, m); });
      }
      part_max[t] = m;
      part_finite[t] = finite ? 1 : 0;
    }
  });
}

bool is_vector(simd::Target target) {
#if defined(FENRO_X86)
  return target != simd::Target::kScalar;  // AVX-512 machines run the AVX2 loops
#else
  (void)target;
  return false;
#endif
}

// Mantissas of one contiguous run at `scale`; `finite` says the run holds no NaN or infinity.
void encode_run(const float* p, size_t cnt, float scale, bool vector, bool finite, int16_t* dst) {
#if defined(FENRO_X86)
  // The short loop needs a scale from a finite maximum: an infinity elsewhere in the update
  // gives scale 2^-126, under which finite values stay tiny, so only this run's own values
  // matter.
  if (vector && finite && scale > 0.0f) return encode_finite_avx2(p, cnt, scale, dst);
  if (vector) return encode_avx2(p, cnt, scale, dst);
#else
  (void)vector;
  (void)finite;
#endif
  encode_scalar(p, cnt, scale, dst);
}

// encode_run with the mantissas written as doubles.
void encode_run_f64(const float* p, size_t cnt, float scale, bool vector, bool finite,
                    double* dst) {
#if defined(FENRO_X86)
  if (vector && finite && scale > 0.0f) return encode_finite_f64_avx2(p, cnt, scale, dst);
  if (vector) return encode_f64_avx2(p, cnt, scale, dst);
#else
  (void)vector;
  (void)finite;
#endif
  int16_t m[256];
  for (size_t t = 0; t < cnt; t += 256) {
    const size_t take = std::min<size_t>(256, cnt - t);
    encode_scalar(p + t, take, scale, m);
    for (size_t s = 0; s < take; ++s) dst[t + s] = m[s];
  }
}
}  // namespace

std::vector<Bfp16Vec> encode_with(std::span<const UpdateView> updates, simd::Target target) {
  const bool vector = is_vector(target);
  const size_t n = updates.size();
  std::vector<Bfp16Vec> out(n);
  // Tasks: (update, element range). Task list first, so both passes share one numbering.
  const std::vector<size_t> first_task = number_tasks(updates);
  // Sizing zero-fills and faults in the new pages, which costs about as much as encoding:
  // spread it over the pool instead of doing it for every update on the calling thread.
  parallel::parallel_for(n, 1, [&](size_t b, size_t e) {
    for (size_t k = b; k < e; ++k) out[k].mantissas.resize(updates[k].size());
  });
  const size_t tasks = first_task[n];

  // Pass 1: partial maxima (exact whatever the split), and whether each range is free of NaN
  // and infinity, which lets pass 2 take the shorter vector loop.
  std::vector<float> part_max(tasks, 0.0f);
  std::vector<char> part_finite(tasks, 0);
  partial_maxima(updates, vector, first_task, part_max, part_finite);
  std::vector<float> scale(n, 0.0f);
  for (size_t k = 0; k < n; ++k) {
    float m = 0.0f;
    for (size_t t = first_task[k]; t < first_task[k + 1]; ++t) m = std::max(m, part_max[t]);
    if (m > 0.0f) {
      out[k].exponent = exponent_for(m);
      scale[k] = scale_for(out[k].exponent);
    }
  }

  // Pass 2: mantissas. An all-zero update keeps exponent 0; its scale 0 maps every (finite or
  // NaN) element to 0, as the encoder requires.
  parallel::parallel_for(tasks, 1, [&](size_t b, size_t e) {
    for (size_t t = b; t < e; ++t) {
      const size_t k = task_update(first_task, t);
      const auto [lo, hi] = task_range(updates, first_task, t, k);
      int16_t* dst = out[k].mantissas.data();
      for_each_run(updates[k], lo, hi, [&](const float* p, size_t cnt, size_t off) {
        encode_run(p, cnt, scale[k], vector, part_finite[t] != 0, dst + off);
      });
    }
  });
  return out;
}

std::vector<BlockScale> block_scales_with(std::span<const UpdateView> updates,
                                          simd::Target target) {
  const size_t n = updates.size();
  const std::vector<size_t> first_task = number_tasks(updates);
  std::vector<float> part_max(first_task[n], 0.0f);
  std::vector<char> part_finite(first_task[n], 0);
  partial_maxima(updates, is_vector(target), first_task, part_max, part_finite);
  std::vector<BlockScale> out(n);
  for (size_t k = 0; k < n; ++k) {
    float m = 0.0f;
    bool finite = true;
    for (size_t t = first_task[k]; t < first_task[k + 1]; ++t) {
      m = std::max(m, part_max[t]);
      finite = finite && part_finite[t] != 0;
    }
    if (m > 0.0f) {
      out[k].exponent = exponent_for(m);
      out[k].scale = scale_for(out[k].exponent);
    }
    out[k].finite = finite;
  }
  return out;
}

void encode_range(const UpdateView& u, size_t lo, size_t hi, const BlockScale& s,
                  simd::Target target, int16_t* out) {
  const bool vector = is_vector(target);
  for_each_run(u, lo, hi, [&](const float* p, size_t cnt, size_t off) {
    encode_run(p, cnt, s.scale, vector, s.finite, out + (off - lo));
  });
}

void encode_range_f64(const UpdateView& u, size_t lo, size_t hi, const BlockScale& s,
                      simd::Target target, double* out) {
  const bool vector = is_vector(target);
  for_each_run(u, lo, hi, [&](const float* p, size_t cnt, size_t off) {
    encode_run_f64(p, cnt, s.scale, vector, s.finite, out + (off - lo));
  });
}

}  // namespace detail

Bfp16Vec Bfp16Vec::from_f32_slice(std::span<const float> values) {
  Bfp16Vec v;
  v.mantissas.resize(values.size());
  const float m = detail::max_abs_scalar(values.data(), values.size(), 0.0f);
  float scale = 0.0f;
  if (m > 0.0f) {
    v.exponent = detail::exponent_for(m);
    scale = detail::scale_for(v.exponent);
  }
  detail::encode_scalar(values.data(), values.size(), scale, v.mantissas.data());
  return v;
}

std::vector<Bfp16Vec> encode_bfp16(std::span<const UpdateView> updates) {
  return detail::encode_with(updates, simd::best_target());
}

}  // namespace fenro::aggregators
