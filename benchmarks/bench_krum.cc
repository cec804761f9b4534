// Whole Krum (encoding + scores + selection), materialised and fused (chunks encoded on the
// fly, as the round runs it), and the batch norms pass on n updates of
// 1000 x 1000 float32, as ratios to the copy floor of the same run; 1 vs 2 threads; extra peak
// memory; the fused scores on each Gram tile; the Gram multiply-adds per cycle per core of each
// tile; and the per-client reference (timed on a slice of the elements, scaled up) for the
// speed-up of the Gram arrangement.
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "bench_util.h"
#include "fenro/aggregators/bfp16.h"
#include "fenro/aggregators/krum.h"
#include "fenro/aggregators/krum_kernels.h"
#include "fenro/math/norms.h"
#include "fenro/simd/cpu.h"

namespace fenro::bench {
namespace {

using aggregators::detail::GramTile;

// Resets the peak-RSS mark of this process (Linux); false when unsupported.
bool reset_peak() {
  std::ofstream f("/proc/self/clear_refs");
  f << "5";
  return static_cast<bool>(f);
}
double peak_mb_since_reset() {
  std::ifstream f("/proc/self/status");
  std::string key;
  while (f >> key) {
    if (key == "VmHWM:") {
      double kb = 0;
      f >> kb;
      return kb / 1024.0;
    }
  }
  return 0;
}

// CPU seconds of all threads of this process: less disturbed than wall time when other
// programs share the cores.
double process_cpu_s() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

template <class F>
double cpu_of(F&& f) {
  const double t0 = process_cpu_s();
  f();
  return process_cpu_s() - t0;
}

// The clock of this core in GHz while it runs a chain of dependent 64-bit multiplies (3 cycles
// each on current x86 cores), in CPU time; 0 elsewhere.
double measured_ghz() {
#if defined(FENRO_X86)
  double best = 0;
  for (int rep = 0; rep < 5; ++rep) {
    uint64_t x = 1, count = 100000000;
    const uint64_t m = 3;
    const double t0 = process_cpu_s();
    __asm__ volatile(
        "1: imul %2, %0\n imul %2, %0\n imul %2, %0\n imul %2, %0\n sub $4, %1\n jnz 1b"
        : "+r"(x), "+r"(count)
        : "r"(m));
    best = std::max(best, 3e8 / (process_cpu_s() - t0) / 1e9);
  }
  return best;
#else
  return 0;
#endif
}

// The "cpu MHz" of /proc/cpuinfo in GHz (the nominal clock on most virtual machines), or 0.
double cpuinfo_ghz() {
  std::ifstream f("/proc/cpuinfo");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("cpu MHz", 0) == 0) {
      const size_t colon = line.find(':');
      if (colon != std::string::npos) return std::strtod(line.c_str() + colon + 1, nullptr) / 1e3;
    }
  }
  return 0;
}

size_t whole_krum(const Inputs& in, size_t f) {
  const auto enc = aggregators::encode_bfp16(in.views);
  return *aggregators::detail::aggregate_krum_bfp16(enc, f);
}

size_t fused_krum(const Inputs& in, size_t f) {
  return *aggregators::krum_select(in.views, f);
}

void run(size_t n, size_t rows, size_t cols) {
  Inputs in(n, rows, cols, static_cast<uint32_t>(n));
  const size_t f = (n - 3) / 4, k = n - f - 2;
  std::printf("n=%zu (%zu x %zu, %.0f MB input), f=%zu\n", n, rows, cols,
              static_cast<double>(n * rows * cols * 4) / 1e6, f);
  // Extra peak memory of one whole Krum: encodings plus tables, measured before any timing
  // run, with freed heap memory handed back first so that it cannot hide the growth.
  malloc_trim(0);
  const double rss0 = current_rss_mb();
  const bool peak_ok = reset_peak();
  (void)whole_krum(in, f);
  const double extra = peak_ok ? peak_mb_since_reset() - rss0 : -1;
  malloc_trim(0);
  const double rss1 = current_rss_mb();
  const bool peak_ok1 = reset_peak();
  (void)fused_krum(in, f);
  const double extra_fused = peak_ok1 ? peak_mb_since_reset() - rss1 : -1;
  std::printf(
      "  extra peak memory of whole Krum: %.0f MB, fused %.0f MB (encodings are %.0f MB)\n",
      extra, extra_fused, static_cast<double>(n * rows * cols * 2) / 1048576.0);
  double whole_t[3] = {0, 0, 0}, fused_t[3] = {0, 0, 0};
  for (size_t threads : {size_t{1}, size_t{2}}) {
    parallel::reset_pool_for_testing(threads);
    const double floor = copy_floor(in);
    const int reps = n >= 200 ? 2 : 4;
    std::vector<aggregators::Bfp16Vec> enc;
    const double t_enc = best_of(reps, [&] { enc = aggregators::encode_bfp16(in.views); });
    const double t_scores =
        best_of(reps, [&] { (void)aggregators::detail::compute_krum_scores_bfp16(enc, k); });
    enc.clear();
    enc.shrink_to_fit();
    size_t sel = 0;
    const double t_whole = best_of(reps, [&] { sel = whole_krum(in, f); });
    size_t sel_fused = 0;
    const double t_fused = best_of(reps, [&] { sel_fused = fused_krum(in, f); });
    fused_t[threads] = t_fused;
    // The fused scores (all but the selection) on each Gram tile of the best target.
    double t_tile[2];
    for (int tile = 0; tile < 2; ++tile) {
      const auto g = tile == 0 ? GramTile::kInteger : GramTile::kPanel;
      t_tile[tile] = best_of(reps, [&] {
        (void)aggregators::detail::scores_fused_with(
            in.views, k, simd::best_target(), aggregators::detail::kDefaultTableCap, g);
      });
    }
    std::vector<double> norms(n);
    const double t_norms = best_of(reps, [&] { math::l2_norms_f64(in.views, norms.data()); });
    whole_t[threads] = t_whole;
    // The same two runs in CPU time (a copy of everything, one whole Krum).
    std::vector<float> dst(n * rows * cols, 1.0f);
    const double c_floor = cpu_of([&] {
      for (size_t i = 0; i < n; ++i)
        std::memcpy(dst.data() + i * rows * cols, in.views[i].data, rows * cols * sizeof(float));
    });
    const double c_whole = cpu_of([&] { sel = whole_krum(in, f); });
    const double c_fused = cpu_of([&] { sel_fused = fused_krum(in, f); });
    std::printf(
        "  %zu thr: floor %6.1f ms | encode %5.2fx  scores %5.2fx  whole Krum %5.2fx (sel %zu) "
        " fused %5.2fx (sel %zu; integer tile %5.2fx, panel tile %5.2fx) | norms %5.2fx | CPU "
        "time: whole Krum %5.2fx, fused %5.2fx one copy\n",
        threads, floor * 1e3, t_enc / floor, t_scores / floor, t_whole / floor, sel,
        t_fused / floor, sel_fused, t_tile[0] / floor, t_tile[1] / floor, t_norms / floor,
        c_whole / c_floor, c_fused / c_floor);
  }
  std::printf("  whole Krum 1 -> 2 threads: %.2fx faster, fused %.2fx faster\n",
              whole_t[1] / whole_t[2], fused_t[1] / fused_t[2]);

  // Gram rate: one thread, CPU time, scores from the encodings (the Gram work and the scores
  // that follow from it), and the same for whole fused Krum (the encoding passes too).
  parallel::reset_pool_for_testing(1);
  {
    const auto enc = aggregators::encode_bfp16(in.views);
    const double madds = static_cast<double>(n) * static_cast<double>(n + 1) / 2.0 *
                         static_cast<double>(rows * cols);
    const double nominal = cpuinfo_ghz(), measured = measured_ghz();
    for (int tile = 0; tile < 2; ++tile) {
      const auto g = tile == 0 ? GramTile::kInteger : GramTile::kPanel;
      double gram = 1e30, fused = 1e30;
      for (int rep = 0; rep < 3; ++rep) {
        gram = std::min(gram, cpu_of([&] {
          (void)aggregators::detail::scores_with(
              enc, k, simd::best_target(), aggregators::detail::kDefaultTableCap, g);
        }));
        fused = std::min(fused, cpu_of([&] {
          (void)aggregators::detail::scores_fused_with(
              in.views, k, simd::best_target(), aggregators::detail::kDefaultTableCap, g);
        }));
      }
      const double rate = madds / gram / 1e9, fused_rate = madds / fused / 1e9;
      std::printf(
          "  %s tile, 1 thread: Gram %.1f multiply-adds/ns = %.2f per cycle at %.2f GHz "
          "(/proc/cpuinfo), %.2f at %.2f GHz (measured); whole fused Krum %.1f/ns = %.2f per "
          "cycle at %.2f GHz\n",
          tile == 0 ? "integer" : "panel", rate, rate / nominal, nominal, rate / measured,
          measured, fused_rate, fused_rate / nominal, nominal);
    }
  }

  // Per-client reference on a slice of the elements: its cost is linear in the length.
  const size_t slice = n >= 200 ? 4000 : 40000;
  auto enc = aggregators::encode_bfp16(in.views);
  for (auto& e : enc) e.mantissas.resize(slice);
  const double t_ref =
      best_of(1, [&] { (void)aggregators::detail::scores_reference(enc, k); }) *
      static_cast<double>(rows * cols) / static_cast<double>(slice);
  enc.clear();
  auto full = aggregators::encode_bfp16(in.views);
  const double t_fast =
      best_of(2, [&] { (void)aggregators::detail::compute_krum_scores_bfp16(full, k); });
  std::printf("  per-client reference scores (scaled from %zu elements): %.2f s, %.1fx slower\n",
              slice, t_ref, t_ref / t_fast);
}

}  // namespace
}  // namespace fenro::bench

int main(int argc, char** argv) {
  std::printf("SIMD target: %s\n",
              std::string(fenro::simd::target_name(fenro::simd::best_target())).c_str());
  const size_t rows = 1000, cols = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000;
  if (argc > 1) {
    fenro::bench::run(std::strtoul(argv[1], nullptr, 10), rows, cols);
    return 0;
  }
  for (size_t n : {10, 50, 200}) fenro::bench::run(n, rows, cols);
  return 0;
}
