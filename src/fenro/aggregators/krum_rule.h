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
#include "fenro/update/pieces.h"
#include "fenro/update/update.h"
#include "fenro/update/validation.h"

namespace fenro::aggregators {

struct KrumResult {
  Matrix aggregate;
  std::vector<size_t> selected;  // Krum: the one chosen index; Multi-Krum: m, best score first
};

// Checks, first failure wins: the shared update validation (validation.h); then n < 2f + 3
// (saturating) gives InsufficientQuorum need 2f + 3, got n. The aggregate is a copy of the
// chosen update. A ByzantineAggregator round of Krum(f) runs this rule on its survivors.
Result<KrumResult> krum(std::span<const UpdateView> updates, uint64_t f);
// The same for a caller that has done part of the update validation already: `validation` says
// what is still owed, and runs before anything else.
Result<KrumResult> krum(std::span<const UpdateView> updates, uint64_t f,
                        update::Validation validation);

// m defaults to min(n - 2f - 2, 3). Checks: as krum; then m outside [1, n - 2f - 2] gives
// MultiKrumSelectionTooLarge. The aggregate is the float32 mean of the selected updates in
// selection order (mean_unchecked). A round of MultiKrum(f, m) runs this rule on its survivors.
Result<KrumResult> multi_krum(std::span<const UpdateView> updates, uint64_t f,
                              std::optional<uint64_t> m);
// The same with what is still owed of the update validation, as for krum.
Result<KrumResult> multi_krum(std::span<const UpdateView> updates, uint64_t f,
                              std::optional<uint64_t> m, update::Validation validation);

// The selections of krum and multi_krum on updates held in pieces (update/pieces.h), with the
// same checks in the same order as on the concatenated updates (validate_pieces for the
// shared validation): krum's one chosen index, or multi_krum's m indices, best score first.
// The caller builds the aggregate from the pieces of the selected updates.
Result<std::vector<size_t>> krum_selection(const update::Pieces& pieces, uint64_t f);
Result<std::vector<size_t>> multi_krum_selection(const update::Pieces& pieces, uint64_t f,
                                                 std::optional<uint64_t> m);

}  // namespace fenro::aggregators

#endif  // FENRO_AGGREGATORS_KRUM_RULE_H_
