// One pass over a coordinate range of an update: where its first NaN or infinity is, and its
// largest finite magnitude; and the joining of such scans in coordinate order.
//
// Both answers can be found range by range: the earliest range that holds a non-finite
// element names the first one of the whole update, and the largest magnitude is the largest of
// the ranges'. Joined over consecutive ranges that cover an update, the scans give what one
// scan of the whole update gives, so the holders of coordinate shards can check their pieces
// independently and the round still reports the same first non-finite element (see
// check_finite in validation.h) and encodes with the same shared exponent.
#ifndef FENRO_UPDATE_RANGE_SCAN_H_
#define FENRO_UPDATE_RANGE_SCAN_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "fenro/error/result.h"
#include "fenro/update/update.h"

namespace fenro::update {

struct RangeScan {
  // Coordinate (row * cols + col) of the first NaN or infinity in coordinate order; absent when
  // every scanned element is finite.
  std::optional<uint64_t> first_non_finite;
  float value = 0.0f;    // the element at first_non_finite (0 when absent)
  float max_abs = 0.0f;  // the largest |x| over the finite elements; +0.0 when there are none
};

// Scans coordinates [lo, hi) of `u`; coordinates in the result are u's own. Requires
// lo <= hi <= u.size().
RangeScan scan_range(const UpdateView& u, size_t lo, size_t hi);

// scan_range(updates[k], lo, hi) into out[k] for every k, on the worker pool.
void scan_ranges(std::span<const UpdateView> updates, size_t lo, size_t hi, RangeScan* out);

// Joins `next`, a scan whose coordinates count from `offset` (the first coordinate of the range
// it covered, when that range was scanned as a view of its own), onto `acc`, the scan of
// everything before it. acc keeps its first non-finite element if it has one.
void append_scan(RangeScan& acc, const RangeScan& next, uint64_t offset);

// The error check_finite reports for update number `index` with `cols` columns when `scan`
// (of the whole update, coordinates its own) found a non-finite element: NonFiniteValue with
// the value, index, row and column. Success otherwise.
Status non_finite_status(const RangeScan& scan, uint64_t index, size_t cols);

}  // namespace fenro::update

#endif  // FENRO_UPDATE_RANGE_SCAN_H_
