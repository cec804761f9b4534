// The exactness primitives of a coordinate-sharded round, against what the single-process round
// runs instead: n updates of 1 x d float32 (default n = 20, d = 2^22), every time a ratio to the
// copy floor of the same inputs, for pools of 1 and 2 threads.
//  - norms: l2_norms_f64 over whole updates, and the running sums chained over S pieces
//    (what S shard holders compute between them, here run one after another in one process);
//  - distances: l2_distances_f64 to a reference, and the chained running differences;
//  - scans: validate_updates (the round's finiteness check), and scan_ranges (the finiteness
//    check plus the largest magnitude, per shard).
//
// Usage: bench_shards [n [d]]
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_util.h"
#include "fenro/math/norms.h"
#include "fenro/math/running_sums.h"
#include "fenro/parallel/pool.h"
#include "fenro/update/range_scan.h"
#include "fenro/update/validation.h"

namespace fenro::bench {
namespace {

void run(size_t n, size_t d) {
  Inputs in(n, 1, d, 7);
  Inputs reference(1, 1, d, 8);
  std::vector<double> out(n);
  std::vector<update::RangeScan> scans(n);
  for (size_t threads : {1, 2}) {
    parallel::reset_pool_for_testing(threads);
    const double floor = copy_floor(in);
    std::printf("n=%zu d=%zu threads=%zu: copy floor %.1f ms\n", n, d, threads, floor * 1e3);
    auto report = [&](const char* what, double t) {
      std::printf("  %-34s %6.2fx floor\n", what, t / floor);
    };
    report("l2_norms_f64", best_of(5, [&] { math::l2_norms_f64(in.views, out.data()); }));
    report("l2_distances_f64", best_of(5, [&] {
             math::l2_distances_f64(in.views, reference.views[0], out.data());
           }));
    for (size_t pieces : {1, 2, 4}) {
      char label[64];
      std::snprintf(label, sizeof label, "running squares, %zu pieces", pieces);
      report(label, best_of(5, [&] {
               std::fill(out.begin(), out.end(), math::kRunningSumStart);
               for (size_t p = 0; p < pieces; ++p) {
                 math::continue_sums_of_squares(in.views, d * p / pieces, d * (p + 1) / pieces,
                                                out.data());
               }
             }));
      std::snprintf(label, sizeof label, "running differences, %zu pieces", pieces);
      report(label, best_of(5, [&] {
               std::fill(out.begin(), out.end(), math::kRunningSumStart);
               for (size_t p = 0; p < pieces; ++p) {
                 math::continue_sums_of_squared_differences(
                     in.views, reference.views[0], d * p / pieces, d * (p + 1) / pieces,
                     out.data());
               }
             }));
    }
    report("validate_updates", best_of(5, [&] {
             if (!update::validate_updates(in.views).ok()) std::abort();
           }));
    report("scan_ranges", best_of(5, [&] { update::scan_ranges(in.views, 0, d, scans.data()); }));
  }
}

}  // namespace
}  // namespace fenro::bench

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20;
  const size_t d = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : size_t{1} << 22;
  fenro::bench::run(n, d);
  return 0;
}
