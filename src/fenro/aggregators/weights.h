// What the rules that take client weights share: the weight checks, and a walk over every
// coordinate's values in sorted order together with their clients.
#ifndef FENRO_AGGREGATORS_WEIGHTS_H_
#define FENRO_AGGREGATORS_WEIGHTS_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "fenro/error/result.h"
#include "fenro/parallel/pool.h"
#include "fenro/update/element_runs.h"
#include "fenro/update/update.h"

namespace fenro::aggregators::detail {

// Checks `weights` for n updates, first failure wins: a count other than n
// (DimensionMismatch); then each weight in index order: NaN or an infinity (NonFiniteWeight),
// below zero (NegativeWeight, naming `rule`); then all of them zero (ZeroWeights). -0.0 is a
// zero weight. Stricter than fedavg's check_weights (fedavg.h), which lets negative and zero
// weights through; a negative weight before a non-finite one is the error reported here.
Status check_rule_weights(std::string_view rule, std::span<const float> weights, size_t n);

// One value of a coordinate and the client that sent it.
struct SortedValue {
  float value;  // as sent, sign of zero included
  uint32_t client;
};

// Calls visit(c, sorted) for every row-major coordinate c of the updates (one shape, n >= 1),
// where `sorted` holds the coordinate's n values in the stable IEEE order: ascending, equal
// values and both zeros in client order. Runs on the worker pool; visit must write only what
// belongs to coordinate c.
template <class Visit>
void for_each_sorted_coordinate(std::span<const UpdateView> updates, const Visit& visit) {
  const size_t n = updates.size(), d = updates[0].size();
  constexpr size_t kTile = 256;  // coordinates gathered together, one contiguous run per update
  parallel::parallel_for((d + kTile - 1) / kTile, 4, [&](size_t begin, size_t end) {
    std::vector<float> tile(n * kTile);
    std::vector<uint64_t> keys(n);
    std::vector<SortedValue> sorted(n);
    for (size_t b = begin; b < end; ++b) {
      const size_t c0 = b * kTile, len = std::min(kTile, d - c0);
      for (size_t k = 0; k < n; ++k) {
        update::for_each_run(updates[k], c0, c0 + len, [&](const float* p, size_t count, size_t at) {
          std::memcpy(tile.data() + k * kTile + (at - c0), p, count * sizeof(float));
        });
      }
      for (size_t t = 0; t < len; ++t) {
        for (size_t k = 0; k < n; ++k) {
          // Order-preserving unsigned image of the value with both zeros alike, client below.
          const float v = tile[k * kTile + t] + 0.0f;
          uint32_t bits;
          std::memcpy(&bits, &v, sizeof bits);
          bits = (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
          keys[k] = (uint64_t{bits} << 32) | k;
        }
        std::sort(keys.begin(), keys.end());
        for (size_t i = 0; i < n; ++i) {
          const auto k = static_cast<uint32_t>(keys[i] & 0xffffffffu);
          sorted[i] = {tile[k * kTile + t], k};
        }
        visit(c0 + t, std::span<const SortedValue>(sorted));
      }
    }
  });
}

}  // namespace fenro::aggregators::detail

#endif  // FENRO_AGGREGATORS_WEIGHTS_H_
