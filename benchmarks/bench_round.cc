// A whole aggregation round against its bare kernel and the copy floor: n = 50 updates of
// 1000 x 1000 float32 with client ids and a norm bound (every update passes it), pool at the
// configured size. The round adds validation, the norm filter and the reputation distances;
// it must cost at most its kernel plus one copy floor.
//
// Usage: bench_round [n]   (default 50)
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_util.h"
#include "fenro/aggregators/bfp16.h"
#include "fenro/aggregators/fedavg.h"
#include "fenro/aggregators/krum_kernels.h"
#include "fenro/aggregators/median.h"
#include "fenro/aggregators/trimmed_mean.h"
#include "fenro/pipeline/aggregator.h"

namespace fenro::bench {
namespace {

using pipeline::AggregationMethod;

struct Case {
  const char* name;
  AggregationMethod method;
};

double bare_kernel(const Inputs& in, const AggregationMethod& m, int reps) {
  using K = AggregationMethod::Kind;
  return best_of(reps, [&] {
    switch (m.kind) {
      case K::kFedAvg:
        (void)aggregators::fedavg(in.views, std::nullopt);
        break;
      case K::kTrimmedMean:
        (void)aggregators::trimmed_mean(in.views, 0.1f);
        break;
      case K::kMedian:
        (void)aggregators::median(in.views);
        break;
      case K::kKrum:
        (void)aggregators::detail::aggregate_krum_bfp16(aggregators::encode_bfp16(in.views), m.f);
        break;
      case K::kMultiKrum: {
        auto sel = aggregators::detail::aggregate_multi_krum_bfp16(
            aggregators::encode_bfp16(in.views), m.f, 3);
        std::vector<UpdateView> chosen;
        for (size_t i : *sel) chosen.push_back(in.views[i]);
        (void)aggregators::mean_unchecked(chosen);
        break;
      }
    }
  });
}

}  // namespace
}  // namespace fenro::bench

int main(int argc, char** argv) {
  using namespace fenro;
  using namespace fenro::bench;
  const size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 50;
  Inputs in(n, 1000, 1000, 42);
  std::vector<std::string> ids(n);
  std::vector<std::string_view> id_views(n);
  for (size_t i = 0; i < n; ++i) {
    ids[i] = "client-" + std::to_string(i);
    id_views[i] = ids[i];
  }
  const int reps = 3;
  const double floor = copy_floor(in);
  std::printf("round vs kernel: n=%zu updates of 1000x1000, %zu threads, copy floor %.1f ms\n", n,
              parallel::thread_count(), floor * 1e3);
  std::printf("%-14s %10s %10s %12s %16s\n", "method", "kernel/fl", "round/fl", "round/kernel",
              "(round-kernel)/fl");
  const Case cases[] = {{"fedavg", AggregationMethod::fed_avg()},
                        {"trimmed_mean", AggregationMethod::trimmed_mean()},
                        {"median", AggregationMethod::median()},
                        {"krum", AggregationMethod::krum(2)},
                        {"multi_krum", AggregationMethod::multi_krum(2, std::nullopt)}};
  for (const Case& c : cases) {
    auto agg = pipeline::ByzantineAggregator::create(c.method, 0.1f, 0.1f, false, 1e9f);
    if (!agg.ok()) return 1;
    const double kernel = bare_kernel(in, c.method, reps);
    const double round = best_of(reps, [&] {
      auto r = agg->aggregate_weighted(in.views, std::span<const std::string_view>(id_views),
                                       std::nullopt);
      if (!r.ok()) std::abort();
    });
    std::printf("%-14s %10.2f %10.2f %12.2f %16.2f\n", c.name, kernel / floor, round / floor,
                round / kernel, (round - kernel) / floor);
  }
  return 0;
}
