// The robust rules and pre-aggregators on n updates of 1000 x 1000 float32, pool of 2 threads,
// f = (n - 3) / 4 (Bulyan's largest). Every time is a ratio to the copy floor of the same run,
// and the rules built on Krum or the median also to our Krum (fused selection plus the copy of
// the chosen update, as a round makes it) and our median, measured in the same run. A function
// that returns n updates also writes n * d floats into fresh memory, which the system must zero
// first; the "fresh copy" line copies the input into a new UpdateStack, the least any such
// function can cost, and those functions are also given as a ratio to it. Extra peak memory is
// what a call adds beyond what was resident before it, output included.
//
// Usage: bench_robust [n ...]   (default 50 200)
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bench_util.h"
#include "fenro/aggregators/bulyan.h"
#include "fenro/aggregators/centered_clipping.h"
#include "fenro/aggregators/geometric_median.h"
#include "fenro/aggregators/krum.h"
#include "fenro/aggregators/meamed.h"
#include "fenro/aggregators/median.h"
#include "fenro/aggregators/weighted_median.h"
#include "fenro/aggregators/weighted_trimmed_mean.h"
#include "fenro/math/norms.h"
#include "fenro/preaggregation/arc.h"
#include "fenro/preaggregation/bucketing.h"
#include "fenro/preaggregation/clip.h"
#include "fenro/preaggregation/nnm.h"
#include "fenro/simd/cpu.h"
#include "fenro/update/update_stack.h"

namespace fenro::bench {
namespace {

constexpr size_t kRows = 1000, kCols = 1000;

// CPU seconds of all threads of this process: less disturbed than wall time when other
// programs share the cores (it counts both threads' work, not the time they took).
double process_cpu_s() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Best wall time and best CPU time of `reps` runs, in seconds.
struct Timing {
  double wall = 1e30, cpu = 1e30;
};
template <class F>
Timing time_of(int reps, F&& f) {
  Timing best;
  for (int i = 0; i < reps; ++i) {
    const double c0 = process_cpu_s();
    best.wall = std::min(best.wall, best_of(1, f));
    best.cpu = std::min(best.cpu, process_cpu_s() - c0);
  }
  return best;
}

Matrix krum(const Inputs& in, size_t f) {
  const size_t i = *aggregators::krum_select(in.views, f);
  Matrix out(kRows, kCols);
  std::memcpy(out.data(), in.views[i].data, out.size() * sizeof(float));
  return out;
}

void run(size_t n) {
  parallel::reset_pool_for_testing(2);
  Inputs in(n, kRows, kCols, static_cast<uint32_t>(n));
  const size_t f = (n - 3) / 4;
  const int reps = n >= 200 ? 3 : 5;
  const double floor_s = copy_floor(in);
  std::vector<float> dst(n * kRows * kCols, 1.0f);
  const Timing floor_t = time_of(reps, [&] { copy_all(in, dst.data()); });
  const Timing krum_t = time_of(reps, [&] { (void)krum(in, f); });
  const Timing median_t = time_of(reps, [&] { (void)aggregators::median(in.views); });
  const Timing fresh_t = time_of(reps, [&] {
    UpdateStack out(n, kRows, kCols);
    copy_all(in, out.data());
  });
  const double krum_s = krum_t.wall, median_s = median_t.wall, fresh_s = fresh_t.wall;
  std::vector<double> norms(n);
  math::l2_norms_f64(in.views, norms.data());
  std::vector<double> sorted = norms;
  std::sort(sorted.begin(), sorted.end());
  const double c = sorted[n / 2];  // clips about half of the updates
  const std::vector<float> weights(n, 1.0f);
  std::printf("\nn = %zu, f = %zu: %.0f MB of updates; copy floor %.1f ms, fresh copy %.1f ms "
              "(%.2fx floor), Krum %.1f ms (%.2fx floor), median %.1f ms (%.2fx floor)\n",
              n, f, static_cast<double>(n * kRows * kCols * 4) / 1e6, floor_s * 1e3, fresh_s * 1e3,
              fresh_s / floor_s, krum_s * 1e3, krum_s / floor_s, median_s * 1e3, median_s / floor_s);
  std::printf("  %-26s %9s %8s %18s %9s %8s %11s\n", "function", "ms", "x floor", "x reference",
              "extra MB", "CPU: floor", "reference");

  struct Case {
    const char* name;
    std::function<void()> call;
    double reference;  // seconds of what the target compares with, 0 for none
    const char* reference_name;
  };
  // CPU times of the references, by the reference's wall time.
  const auto cpu_of_reference = [&](double wall) {
    if (wall == krum_s + median_s) return krum_t.cpu + median_t.cpu;
    if (wall == krum_s) return krum_t.cpu;
    if (wall == median_s) return median_t.cpu;
    return fresh_t.cpu;
  };
  const std::vector<Case> cases = {
      {"bulyan", [&] { (void)aggregators::bulyan(in.views, f); }, krum_s + median_s, "Krum+median"},
      {"nnm", [&] { (void)preaggregation::nnm(in.views, f); }, krum_s, "Krum"},
      {"nnm", [&] { (void)preaggregation::nnm(in.views, f); }, fresh_s, "fresh copy"},
      {"meamed", [&] { (void)aggregators::meamed(in.views, f); }, median_s, "median"},
      {"clip", [&] { (void)preaggregation::clip(in.views, c); }, fresh_s, "fresh copy"},
      {"arc", [&] { (void)preaggregation::arc(in.views, f); }, fresh_s, "fresh copy"},
      {"bucketing s=2", [&] { (void)preaggregation::bucketing(in.views, 2, 7); }, 0, ""},
      {"centered_clipping 1 it", [&] { (void)aggregators::centered_clipping(in.views, c, 1, std::nullopt); }, 0, ""},
      {"weighted_median", [&] { (void)aggregators::weighted_median(in.views, weights); }, median_s, "median"},
      {"weighted_trimmed t=0.1", [&] { (void)aggregators::weighted_trimmed_mean(in.views, weights, 0.1f); }, median_s, "median"},
  };
  for (const Case& k : cases) {
    const Timing tt = time_of(reps, k.call);
    const double t = tt.wall;
    malloc_trim(0);
    const double extra = extra_memory_mb(k.call);
    std::string ref = "", cpu_ref = "";
    if (k.reference > 0) {
      ref = std::to_string(t / k.reference).substr(0, 4) + "x " + k.reference_name;
      cpu_ref = std::to_string(tt.cpu / cpu_of_reference(k.reference)).substr(0, 4) + "x";
    }
    std::printf("  %-26s %9.1f %7.2fx %18s %9.0f %9.2fx %10s\n", k.name, t * 1e3, t / floor_s,
                ref.c_str(), extra, tt.cpu / floor_t.cpu, cpu_ref.c_str());
  }

  // Geometric median: the cost of one Weiszfeld step, from runs of 0 and 5 steps (tol = 0 keeps
  // it going while the objective falls).
  uint64_t steps = 0;
  const double t0 = best_of(reps, [&] { (void)aggregators::geometric_median(in.views, std::nullopt, 1e-6, 0.0, 0); });
  const double t5 = best_of(reps, [&] {
    steps = aggregators::geometric_median(in.views, std::nullopt, 1e-6, 0.0, 5)->iterations;
  });
  malloc_trim(0);
  const double extra = extra_memory_mb([&] { (void)aggregators::geometric_median(in.views, std::nullopt, 1e-6, 0.0, 5); });
  std::printf("  %-26s %9.1f %7.2fx %18s %9.0f\n", "geometric_median per step",
              (t5 - t0) / static_cast<double>(steps) * 1e3,
              (t5 - t0) / static_cast<double>(steps) / floor_s,
              (std::to_string(steps) + " steps").c_str(), extra);
  std::printf("  %-26s %9.1f %7.2fx\n", "geometric_median start", t0 * 1e3, t0 / floor_s);
}

}  // namespace
}  // namespace fenro::bench

int main(int argc, char** argv) {
  // A fixed mmap threshold: every large result is mapped fresh and unmapped when freed, so the
  // resident size before a call is a true baseline for its peak.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  std::vector<size_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {50, 200};
  std::printf("bench_robust: %zu x %zu float32 per update, SIMD target %s, pool of 2 threads\n",
              fenro::bench::kRows, fenro::bench::kCols,
              std::string(fenro::simd::target_name(fenro::simd::best_target())).c_str());
  for (size_t n : sizes) fenro::bench::run(n);
  return 0;
}
