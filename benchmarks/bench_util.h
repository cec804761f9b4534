// Shared benchmark helpers. Every figure is reported as a ratio against a baseline measured in
// the same run: the copy floor is one memcpy of all the input into a pre-touched buffer, split
// over the pool's threads, best of several.
#ifndef FENRO_BENCHMARKS_BENCH_UTIL_H_
#define FENRO_BENCHMARKS_BENCH_UTIL_H_

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "fenro/parallel/pool.h"
#include "fenro/update/update.h"

namespace fenro::bench {

// Best wall time of `reps` runs, in seconds.
template <class F>
double best_of(int reps, F&& f) {
  double best = 1e30;
  for (int i = 0; i < reps; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return best;
}

// n separately allocated updates (each its own buffer, as clients' arrays are) of rows x cols.
struct Inputs {
  std::vector<std::vector<float>> data;
  std::vector<UpdateView> views;
  Inputs(size_t n, size_t rows, size_t cols, uint32_t seed) : data(n) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> dist(0.0f, 1.0f);
    for (auto& d : data) {
      d.resize(rows * cols);
      for (auto& x : d) x = dist(rng);
      views.push_back(UpdateView::dense(d.data(), rows, cols));
    }
  }
};

// Copies every input update to dst + k * (elements per update), split over the pool's threads.
inline void copy_all(const Inputs& in, float* dst) {
  const size_t per = in.views.empty() ? 0 : in.views[0].size();
  parallel::parallel_for(in.views.size() * 16, 1, [&](size_t b, size_t e) {
    for (size_t t = b; t < e; ++t) {
      const size_t k = t / 16, part = t % 16;
      const size_t lo = per * part / 16, hi = per * (part + 1) / 16;
      std::memcpy(dst + k * per + lo, in.views[k].data + lo, (hi - lo) * sizeof(float));
    }
  });
}

// Copy floor: copy every input update into one pre-touched destination, split over threads.
inline double copy_floor(const Inputs& in, int reps = 7) {
  const size_t per = in.views.empty() ? 0 : in.views[0].size();
  std::vector<float> dst(per * in.views.size(), 1.0f);
  return best_of(reps, [&] { copy_all(in, dst.data()); });
}

// Peak resident set size so far, in MB.
inline double peak_rss_mb() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

// Current resident set size, in MB (from /proc).
inline double current_rss_mb() {
  std::ifstream f("/proc/self/statm");
  long pages = 0, resident = 0;
  f >> pages >> resident;
  return static_cast<double>(resident) * 4096.0 / (1024.0 * 1024.0);
}

// Memory a call adds at its peak (output included), in MB, from the kernel's peak-RSS mark
// (reset through /proc/self/clear_refs); negative where that is unsupported.
template <class F>
double extra_memory_mb(F&& f) {
  const double before = current_rss_mb();
  {
    std::ofstream reset("/proc/self/clear_refs");
    reset << "5";
    reset.flush();
    if (!reset) return -1.0;
  }
  f();
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0 - before;
  }
  return -1.0;
}

}  // namespace fenro::bench

#endif  // FENRO_BENCHMARKS_BENCH_UTIL_H_
