#include "fenro/aggregators/centered_clipping.h"

#include <algorithm>
#include <cmath>

#include "fenro/aggregators/median.h"
#include "fenro/math/means.h"
#include "fenro/math/norms.h"
#include "fenro/update/validation.h"

namespace fenro::aggregators {

Result<CenteredClippingResult> centered_clipping(std::span<const UpdateView> updates, double tau,
                                                 uint64_t iterations,
                                                 std::optional<UpdateView> center) {
  // The values are checked as they are used: the median kernel checks them as it loads, and a
  // NaN or an infinity makes its update's distance to the center non-finite. The value scan
  // runs only then, or before another check reports its failure, so the first failing check in
  // order still decides the error.
  update::Validation validation = update::Validation::of(updates);
  FENRO_RETURN_IF_ERROR(validation.check_shapes());
  if (!(tau > 0.0)) {
    return validation.report(
        error::RealParameterOutOfRange{"centered_clipping", "tau", tau, error::RealRange::kPositive});
  }
  if (iterations < 1) {
    return validation.report(
        error::CountParameterOutOfRange{"centered_clipping", "iterations", iterations, 1});
  }
  const UpdateView& first = updates[0];
  if (center && !center->same_shape(first)) {
    return validation.report(
        error::CenterShapeMismatch{center->rows, center->cols, first.rows, first.cols});
  }
  if (center) {
    for (size_t r = 0; r < center->rows; ++r) {
      for (size_t c = 0; c < center->cols; ++c) {
        const float x = center->at(r, c);
        if (!std::isfinite(x)) return validation.report(error::NonFiniteCenterValue{x, r, c});
      }
    }
  }
  const size_t n = updates.size(), d = first.size();
  std::vector<double> v(d);
  if (center) {
    for (size_t r = 0; r < first.rows; ++r)
      for (size_t c = 0; c < first.cols; ++c) v[r * first.cols + c] = center->at(r, c);
  } else {
    auto median = aggregators::median(updates, validation);
    if (!median.ok()) return std::move(median).error();
    std::copy(median->data(), median->data() + d, v.begin());
  }
  CenteredClippingResult result{Matrix(first.rows, first.cols), std::vector<double>(n),
                                std::vector<double>(n)};
  std::vector<double> step(d);
  const double count = static_cast<double>(n);
  for (uint64_t it = 0; it < iterations; ++it) {
    math::l2_distances_to_point_f64(updates, v.data(), result.distances.data());
    for (double dist : result.distances) {
      if (!std::isfinite(dist)) FENRO_RETURN_IF_ERROR(validation.complete());
    }
    for (size_t i = 0; i < n; ++i) {
      const double dist = result.distances[i];
      result.factors[i] = dist > tau ? tau / dist : 1.0;
    }
    // An update at distance zero has a zero deviation: skipping it is the same as adding it.
    std::vector<double> coeffs = result.factors;
    for (size_t i = 0; i < n; ++i)
      if (result.distances[i] == 0.0) coeffs[i] = 0.0;
    math::weighted_sum_f64(updates, coeffs, v.data(), step.data());
    for (size_t t = 0; t < d; ++t) v[t] = v[t] + step[t] / count;
  }
  for (size_t t = 0; t < d; ++t) result.aggregate.data()[t] = static_cast<float>(v[t]);
  return result;
}

}  // namespace fenro::aggregators
