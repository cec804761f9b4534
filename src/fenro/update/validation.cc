#include "fenro/update/validation.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "fenro/parallel/pool.h"

namespace fenro::update {
namespace {

// True when any of rows [r0, r1) holds a NaN or an infinity. Works on the bits: an element is
// non-finite when its magnitude bits reach the all-ones exponent, and an integer max
// vectorises.
bool any_non_finite(const UpdateView& u, size_t r0, size_t r1) {
  uint32_t top = 0;
  for (size_t r = r0; r < r1; ++r) {
    const float* row = u.row(r);
    for (size_t c = 0; c < u.cols; ++c) {
      uint32_t bits;
      std::memcpy(&bits, row + c, sizeof bits);
      bits &= 0x7fffffffu;
      top = bits > top ? bits : top;
    }
  }
  return top >= 0x7f800000u;
}

}  // namespace

Status check_finite(const UpdateView& u, uint64_t index) {
  for (size_t r = 0; r < u.rows; ++r) {
    if (!any_non_finite(u, r, r + 1)) continue;
    const float* row = u.row(r);
    for (size_t c = 0; c < u.cols; ++c) {
      if (!std::isfinite(row[c])) return error::NonFiniteValue{row[c], index, r, c};
    }
  }
  return {};
}

bool all_finite(const UpdateView& u) { return !any_non_finite(u, 0, u.rows); }

Status validate_updates(std::span<const UpdateView> updates) {
  if (updates.empty()) return error::EmptyUpdates{};
  // Updates [0, same) share update 0's shape; update `same`, if any, is the first that does not.
  size_t same = 1;
  while (same < updates.size() && updates[same].same_shape(updates[0])) ++same;
  // Scan those updates on the pool in blocks of rows, then report in order: the first update
  // holding a non-finite element (searched exactly, element by element) if it comes before the
  // shape mismatch, else the mismatch. Same outcome as checking update by update.
  const size_t rows = updates[0].rows;
  const size_t rows_per_block =
      std::max<size_t>(1, (size_t{1} << 16) / std::max<size_t>(updates[0].cols, 1));
  const size_t blocks = (rows + rows_per_block - 1) / rows_per_block;
  std::vector<uint8_t> bad(same * blocks, 0);
  parallel::parallel_for(bad.size(), 1, [&](size_t b, size_t e) {
    for (size_t t = b; t < e; ++t) {
      const size_t k = t / blocks, r0 = (t % blocks) * rows_per_block;
      bad[t] = any_non_finite(updates[k], r0, std::min(rows, r0 + rows_per_block)) ? 1 : 0;
    }
  });
  for (size_t t = 0; t < bad.size(); ++t) {
    if (bad[t]) return check_finite(updates[t / blocks], t / blocks);
  }
  if (same < updates.size()) return error::DimensionMismatch{};
  return {};
}

Status Validation::check_shapes() {
  if (state_ != State::kAll) return {};
  bool agree = !updates_.empty();
  for (const UpdateView& u : updates_) agree = agree && u.same_shape(updates_[0]);
  if (!agree) return complete();
  state_ = State::kValues;
  return {};
}

Status Validation::complete() {
  if (state_ == State::kDone) return {};
  state_ = State::kDone;
  return validate_updates(updates_);
}

FenroError Validation::report(FenroError later) {
  Status owed = complete();
  return owed.ok() ? std::move(later) : std::move(owed).error();
}

}  // namespace fenro::update
