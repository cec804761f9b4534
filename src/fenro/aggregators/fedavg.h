// FedAvg: the plain or weighted mean of the updates.
#ifndef FENRO_AGGREGATORS_FEDAVG_H_
#define FENRO_AGGREGATORS_FEDAVG_H_

#include <optional>
#include <span>

#include "fenro/error/result.h"
#include "fenro/update/update.h"
#include "fenro/update/validation.h"

namespace fenro::aggregators {

// The checks of FedAvg weights given for n updates, first failure wins: a count other than n
// (DimensionMismatch), then the first non-finite weight in order (NonFiniteWeight). Zero and
// negative weights pass.
Status check_weights(std::span<const float> weights, size_t n);

// Returns the mean of `updates`, or weighted by `weights` (one per update) when given.
// Checks, first failure wins: the update validation (validation.h); then, with weights,
// check_weights, and a float32 weight sum (index order, from -0.0) equal to zero
// (InsufficientQuorum need 1, got 0).
// Unweighted: acc starts at +0.0, updates added in order, then divided by n. Weighted: each
// product w_k * x rounded, added in order, divided by the weight sum. All in float32, except
// that an element whose float32 result is not finite although its inputs are is recomputed
// in double in the same order and rounded once (and, when the float32 weight sum itself
// overflows, every element is computed that way with the double weight sum, whose zero is the
// same lack of quorum).
Result<Matrix> fedavg(std::span<const UpdateView> updates,
                      std::optional<std::span<const float>> weights);
// The same for a caller that has run check_weights on `checked_weights` and done part of the
// update validation already, or wants the value scan to ride on the kernel's pass:
// `validation` says what is still owed. The remaining checks, results and messages are those
// of fedavg.
Result<Matrix> fedavg(std::span<const UpdateView> updates,
                      std::optional<std::span<const float>> checked_weights,
                      update::Validation validation);

// The unweighted mean without any checks: the caller guarantees at least one update, equal
// shapes and finite values. Same arithmetic and overflow rule as fedavg; the updates are added
// in the order given (the Multi-Krum mean passes them in selection order).
Matrix mean_unchecked(std::span<const UpdateView> updates);

}  // namespace fenro::aggregators

#endif  // FENRO_AGGREGATORS_FEDAVG_H_
