// Update validation: the checks every kernel and the round make on a list of updates, and the
// form in which a kernel receives them when its own pass over the values does the scan.
#ifndef FENRO_UPDATE_VALIDATION_H_
#define FENRO_UPDATE_VALIDATION_H_

#include <cstdint>
#include <span>

#include "fenro/error/result.h"
#include "fenro/update/update.h"

namespace fenro::update {

// The validation of a list of updates, first failure wins:
//  1. no updates: EmptyUpdates;
//  2. for each update k in order: a shape other than update 0's gives DimensionMismatch; then
//     its elements in row-major order, the first NaN or infinity gives NonFiniteValue with the
//     value, k, row and column. Update k is checked completely before update k+1.
// Runs on the worker pool.
Status validate_updates(std::span<const UpdateView> updates);

// The first non-finite element of one update in row-major order, as NonFiniteValue carrying
// `index` as the update number; success when every element is finite.
Status check_finite(const UpdateView& u, uint64_t index);

// Whether every element of `u` is finite.
bool all_finite(const UpdateView& u);

// What a kernel still owes of validate_updates when it starts, so that the scan for non-finite
// values can ride on a pass the kernel makes over the values anyway.
//
// A kernel receives one by value and keeps the documented order for its caller:
//  - check_shapes() before it reads anything: the failures that need no values;
//  - report(error) for each failure of a check of its own, which the update validation
//    precedes: a non-finite value, if there is one, is reported instead;
//  - when its pass meets a non-finite value, or a path cannot notice one while it reads,
//    complete() runs the scan and returns the first failure in order.
// The same object serves a caller, such as the round, whose own checks follow the validation
// and which hands the rest of the work to a kernel.
class Validation {
 public:
  // Nothing owed: the caller has validated the updates (validate_updates, or a pass that gives
  // the same first failure).
  static Validation done() { return Validation({}, State::kDone); }
  // All of validate_updates owed, on `updates` (the list whose indices the errors name); the
  // kernel's values are those of this list.
  static Validation of(std::span<const UpdateView> updates) {
    return Validation(updates, State::kAll);
  }

  // True while the scan for non-finite values is owed.
  bool values_owed() const { return state_ != State::kDone; }

  // The checks that read no values: the list is not empty and every update has update 0's
  // shape. When they fail, the whole validation runs, so the error is the first in order (a
  // non-finite value of an update before the first mismatched one wins). Afterwards at most the
  // value scan is owed.
  Status check_shapes();

  // Runs whatever is owed now; afterwards nothing is.
  Status complete();

  // The error to report for a failed check that comes after the update validation: the first
  // failure of the owed validation if there is one, else `later`.
  FenroError report(FenroError later);

 private:
  enum class State : uint8_t { kDone, kValues, kAll };
  Validation(std::span<const UpdateView> updates, State state) : updates_(updates), state_(state) {}

  std::span<const UpdateView> updates_;
  State state_;
};

}  // namespace fenro::update

#endif  // FENRO_UPDATE_VALIDATION_H_
