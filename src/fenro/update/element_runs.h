// The row-major elements of an update as runs that are contiguous in memory: the whole range
// for a dense update, one piece per row otherwise.
#ifndef FENRO_UPDATE_ELEMENT_RUNS_H_
#define FENRO_UPDATE_ELEMENT_RUNS_H_

#include <cstddef>

#include "fenro/update/update.h"

namespace fenro::update {

// Calls f(pointer, count, offset) for the row-major element range [lo, hi) of `u`, one call per
// run of elements that are contiguous in memory.
template <class F>
void for_each_run(const UpdateView& u, size_t lo, size_t hi, F&& f) {
  if (lo >= hi) return;
  if (u.contiguous()) {
    f(u.data + lo, hi - lo, lo);
    return;
  }
  size_t r = lo / u.cols, c = lo % u.cols, t = lo;
  while (t < hi) {
    const size_t take = u.cols - c < hi - t ? u.cols - c : hi - t;
    f(u.row(r) + c, take, t);
    t += take;
    ++r;
    c = 0;
  }
}

}  // namespace fenro::update

#endif  // FENRO_UPDATE_ELEMENT_RUNS_H_
