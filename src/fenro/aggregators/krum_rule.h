// Krum and Multi-Krum as stateless rules: the selection of krum.h on the 16-bit block-floating-
// point encoding, the aggregate a round builds from it, and the selection itself for an audit.
#ifndef FENRO_AGGREGATORS_KRUM_RULE_H_
#define FENRO_AGGREGATORS_KRUM_RULE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fenro/error/result.h"
#include "fenro/update/update.h"

namespace fenro::aggregators {

struct KrumResult {
  Matrix aggregate;
  std::vector<size_t> selected;  // Krum: the one chosen index; Multi-Krum: m, best score first
};

// Checks, first failure wins: the shared update validation (validation.h); then n < 2f + 3
// (saturating) gives InsufficientQuorum need 2f + 3, got n. The aggregate is a copy of the
// chosen update: the same bits as a ByzantineAggregator round of Krum(f) without ids, norm bound
// or ban.
Result<KrumResult> krum(std::span<const UpdateView> updates, uint64_t f);

// m defaults to min(n - 2f - 2, 3). Checks: as krum; then m outside [1, n - 2f - 2] gives
// MultiKrumSelectionTooLarge. The aggregate is the float32 mean of the selected updates in
// selection order, as a round of MultiKrum(f, m) computes it.
Result<KrumResult> multi_krum(std::span<const UpdateView> updates, uint64_t f,
                              std::optional<uint64_t> m);

}  // namespace fenro::aggregators

#endif  // FENRO_AGGREGATORS_KRUM_RULE_H_
