// FedAvg, median and trimmed mean (t = 0.1) on n updates of 1000 x 1000 float32, pool at 2
// threads. Every time is printed as a ratio to the copy floor of the same inputs (one memcpy of
// all n * d floats, split over the threads), plus: the speed-up over a straightforward gather +
// std::stable_sort per coordinate (timed on a slice of coordinates and scaled), the speed-up of
// 2 threads over 1, and the peak memory a call adds beyond what was resident before it.
//
// Usage: bench_kernels [n ...]   (default 10 50 200)
#include <malloc.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bench_util.h"
#include "fenro/aggregators/coordinate_kernels.h"
#include "fenro/aggregators/fedavg.h"
#include "fenro/aggregators/median.h"
#include "fenro/aggregators/trimmed_mean.h"
#include "fenro/parallel/pool.h"
#include "fenro/simd/cpu.h"

namespace fenro::bench {
namespace {

constexpr size_t kRows = 1000, kCols = 1000;
constexpr float kTrim = 0.1f;

// Resets the kernel's peak-RSS mark (Linux clear_refs "5"); false where unsupported.
bool reset_peak_rss() {
  std::ofstream f("/proc/self/clear_refs");
  f << "5";
  f.flush();
  return static_cast<bool>(f);
}

double peak_rss_since_reset_mb() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return 0.0;
}

// Memory a call adds at its peak (output included), in MB; negative when it cannot be measured.
template <class F>
double extra_memory_mb(F&& f) {
  const double before = current_rss_mb();
  if (!reset_peak_rss()) return -1.0;
  f();
  return peak_rss_since_reset_mb() - before;
}

// The naive reference: per coordinate, gather, stable_sort, reduce; on coordinates [0, count).
void naive(const Inputs& in, size_t count, bool is_median, std::vector<float>& out) {
  const size_t n = in.views.size();
  const size_t k = static_cast<size_t>(std::ceil(kTrim * static_cast<float>(n)));
  parallel::parallel_for(count, 256, [&](size_t b, size_t e) {
    std::vector<float> v(n);
    for (size_t c = b; c < e; ++c) {
      for (size_t i = 0; i < n; ++i) v[i] = in.views[i].data[c];
      std::stable_sort(v.begin(), v.end(), [](float x, float y) { return x < y; });
      if (is_median) {
        out[c] = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) * 0.5f;
      } else {
        float acc = -0.0f;
        for (size_t i = k; i < n - k; ++i) acc += v[i];
        out[c] = acc / static_cast<float>(n - 2 * k);
      }
    }
  });
}

void run(size_t n) {
  parallel::reset_pool_for_testing(2);
  Inputs in(n, kRows, kCols, static_cast<uint32_t>(n));
  const std::vector<float> weights(n, 0.5f);
  const size_t d = kRows * kCols;
  const double floor_s = copy_floor(in);
  std::printf("\nn = %zu: %.0f MB of updates, copy floor %.2f ms (%.1f GB/s)\n", n,
              static_cast<double>(n * d * 4) / 1e6, floor_s * 1e3,
              static_cast<double>(n * d * 8) / floor_s / 1e9);
  const size_t k = static_cast<size_t>(std::ceil(kTrim * static_cast<float>(n)));
  std::printf("  comparators per tile: median %zu, trimmed mean %zu\n",
              aggregators::detail::network_size(n, (n - 1) / 2, n / 2 + 1),
              aggregators::detail::network_size(n, k, n - k));
  std::printf("  %-16s %9s %8s %10s %10s %10s\n", "kernel", "ms", "x floor", "vs naive",
              "2T vs 1T", "extra MB");

  struct Kernel {
    const char* name;
    int naive_kind;  // -1: none, 1: median, 0: trimmed mean
    std::function<void()> call;
  };
  const std::vector<Kernel> kernels = {
      {"fedavg", -1, [&] { (void)aggregators::fedavg(in.views, std::nullopt); }},
      {"fedavg weighted", -1,
       [&] { (void)aggregators::fedavg(in.views, std::span<const float>(weights)); }},
      {"median", 1, [&] { (void)aggregators::median(in.views); }},
      {"trimmed t=0.1", 0, [&] { (void)aggregators::trimmed_mean(in.views, kTrim); }},
  };
  for (const Kernel& kern : kernels) {
    const int reps = n >= 200 ? 3 : 5;
    const double t2 = best_of(reps, kern.call);
    const double extra = extra_memory_mb(kern.call);
    std::string naive_text = "", scaling_text = "";
    if (kern.naive_kind >= 0) {
      parallel::reset_pool_for_testing(1);
      const double t1 = best_of(2, kern.call);
      parallel::reset_pool_for_testing(2);
      scaling_text = std::to_string(t1 / t2).substr(0, 4) + "x";
      const size_t slice = n >= 200 ? 10000 : 40000;
      std::vector<float> out(slice);
      const double tn =
          best_of(1, [&] { naive(in, slice, kern.naive_kind == 1, out); }) *
          static_cast<double>(d) / static_cast<double>(slice);
      naive_text = std::to_string(tn / t2).substr(0, 5) + "x";
    }
    std::printf("  %-16s %9.2f %7.2fx %10s %10s %10.1f\n", kern.name, t2 * 1e3, t2 / floor_s,
                naive_text.c_str(), scaling_text.c_str(), extra);
  }
}

}  // namespace
}  // namespace fenro::bench

int main(int argc, char** argv) {
  // A fixed mmap threshold: every result matrix is then mapped fresh and unmapped when freed,
  // so the resident size before a call is a true baseline for its peak.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  std::vector<size_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {10, 50, 200};
  std::printf("bench_kernels: %zu x %zu float32 per update, SIMD target %s, pool of 2 threads\n",
              fenro::bench::kRows, fenro::bench::kCols,
              std::string(fenro::simd::target_name(fenro::simd::best_target())).c_str());
  for (size_t n : sizes) fenro::bench::run(n);
  return 0;
}
