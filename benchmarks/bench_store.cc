// Writing and reading the text of a reputation store with 1,000,000 clients (12-byte ids,
// random scores in [0, 1]). Baselines from the same run: one memcpy of the text, and building
// the same ordered map from ready (id, score) pairs, the container floor of any reader.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "bench_util.h"
#include "fenro/reputation/store.h"

using fenro::bench::best_of;
using fenro::reputation::ReputationStore;

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const int reps = 5;
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<float> score(0.0f, 1.0f);
  ReputationStore store;
  for (size_t i = 0; i < n; ++i) {
    char id[16];
    std::snprintf(id, sizeof id, "c%011llu",
                  static_cast<unsigned long long>(rng() % 100000000000ull));
    (void)store.set_score(id, score(rng));
  }
  const size_t entries = store.all_scores().size();

  std::string text;
  const double t_write = best_of(reps, [&] { text = store.to_json(); });
  // A store read from text has its map nodes allocated in id order; one built by random
  // inserts (a long-running server) has them scattered, and walking it misses the cache.
  const auto reread = ReputationStore::from_json(text);
  const ReputationStore& compact = std::get<ReputationStore>(reread);
  std::string text2;
  const double t_write_compact = best_of(reps, [&] { text2 = compact.to_json(); });
  if (text2 != text) std::abort();

  std::vector<char> copy(text.size(), 1);
  const double t_copy = best_of(reps, [&] { std::memcpy(copy.data(), text.data(), text.size()); });

  std::vector<std::pair<std::string, float>> pairs(store.all_scores().begin(),
                                                    store.all_scores().end());
  const double t_map = best_of(reps, [&] {
    ReputationStore::Map m;
    for (const auto& [id, s] : pairs) m.emplace_hint(m.end(), id, s);
    if (m.size() != entries) std::abort();
  });

  size_t read_entries = 0;
  const double t_read = best_of(reps, [&] {
    auto r = ReputationStore::from_json(text);
    if (!std::holds_alternative<ReputationStore>(r)) std::abort();
    read_entries = std::get<ReputationStore>(r).all_scores().size();
  });
  if (read_entries != entries) std::abort();

  std::printf("bench_store: %zu clients, text %.1f MB\n", entries,
              static_cast<double>(text.size()) / 1e6);
  std::printf("  baseline memcpy of text   %8.4f s\n", t_copy);
  std::printf("  baseline map from pairs   %8.4f s\n", t_map);
  std::printf("  to_json, scattered store  %8.4f s  = %5.1f x memcpy  (limit 0.5 s)\n", t_write,
              t_write / t_copy);
  std::printf("  to_json, store read back %8.4f s  = %5.1f x memcpy\n", t_write_compact,
              t_write_compact / t_copy);
  std::printf("  from_json                 %8.4f s  = %5.1f x memcpy, %4.2f x map build  "
              "(limit 0.5 s)\n",
              t_read, t_read / t_copy, t_read / t_map);
  std::printf("  peak RSS %.0f MB\n", fenro::bench::peak_rss_mb());
  return 0;
}
