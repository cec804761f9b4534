#include "fenro/aggregators/centered_clipping.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include "fenro/aggregators/median.h"
#include "fenro/aggregators/update_access.h"
#include "fenro/math/means.h"
#include "fenro/math/norms.h"
#include "fenro/update/validation.h"

namespace fenro::aggregators {
namespace {

// The checks after the update validation, first failure wins.
Status check_parameters(double tau, uint64_t iterations, const UpdateView& first,
                        std::optional<UpdateView> center) {
  if (!(tau > 0.0)) {
    return error::RealParameterOutOfRange{"centered_clipping", "tau", tau,
                                          error::RealRange::kPositive};
  }
  if (iterations < 1) {
    return error::CountParameterOutOfRange{"centered_clipping", "iterations", iterations, 1};
  }
  if (center && !center->same_shape(first)) {
    return error::CenterShapeMismatch{center->rows, center->cols, first.rows, first.cols};
  }
  if (center) {
    for (size_t r = 0; r < center->rows; ++r) {
      for (size_t c = 0; c < center->cols; ++c) {
        const float x = center->at(r, c);
        if (!std::isfinite(x)) return error::NonFiniteCenterValue{x, r, c};
      }
    }
  }
  return {};
}

}  // namespace

Result<CenteredClippingSteps> centered_clipping_steps(PointPasses& points, double tau,
                                                      uint64_t iterations,
                                                      const std::function<Status()>& complete) {
  const size_t n = points.count();
  CenteredClippingSteps result{std::vector<double>(n), std::vector<double>(n)};
  const double count = static_cast<double>(n);
  for (uint64_t it = 0; it < iterations; ++it) {
    FENRO_RETURN_IF_ERROR(points.distances(0, result.distances.data()));
    for (double dist : result.distances) {
      if (!std::isfinite(dist)) FENRO_RETURN_IF_ERROR(complete());
    }
    for (size_t i = 0; i < n; ++i) {
      const double dist = result.distances[i];
      result.factors[i] = dist > tau ? tau / dist : 1.0;
    }
    // An update at distance zero has a zero deviation: skipping it is the same as adding it.
    std::vector<double> coeffs = result.factors;
    for (size_t i = 0; i < n; ++i)
      if (result.distances[i] == 0.0) coeffs[i] = 0.0;
    FENRO_RETURN_IF_ERROR(points.weighted(0, coeffs, count, true));
  }
  return result;
}

namespace {

// The iterations from v on in-memory updates (a detail::WholeUpdates or
// detail::PiecedUpdates); the result's aggregate has shape rows x cols.
template <class Access>
Result<CenteredClippingResult> iterate(Access access, std::vector<double> v, double tau,
                                       uint64_t iterations, size_t rows, size_t cols,
                                       const std::function<Status()>& complete) {
  detail::LocalPoints<Access> points(access);
  points.point(0) = std::move(v);
  auto steps = centered_clipping_steps(points, tau, iterations, complete);
  if (!steps.ok()) return std::move(steps).error();
  CenteredClippingResult result{Matrix(rows, cols), std::move(steps->distances),
                                std::move(steps->factors)};
  points.round_to(0, result.aggregate.data());
  return result;
}

// The center as the starting point, in its row-major order.
std::vector<double> start_at(const UpdateView& center) {
  std::vector<double> v(center.size());
  for (size_t r = 0; r < center.rows; ++r)
    for (size_t c = 0; c < center.cols; ++c) v[r * center.cols + c] = center.at(r, c);
  return v;
}

}  // namespace

Result<CenteredClippingResult> centered_clipping(std::span<const UpdateView> updates, double tau,
                                                 uint64_t iterations,
                                                 std::optional<UpdateView> center) {
  // The values are checked as they are used: the median kernel checks them as it loads, and a
  // NaN or an infinity makes its update's distance to the center non-finite. The value scan
  // runs only then, or before another check reports its failure, so the first failing check in
  // order still decides the error.
  update::Validation validation = update::Validation::of(updates);
  FENRO_RETURN_IF_ERROR(validation.check_shapes());
  const UpdateView& first = updates[0];
  Status checked = check_parameters(tau, iterations, first, center);
  if (!checked.ok()) return validation.report(std::move(checked).error());
  std::vector<double> v;
  if (center) {
    v = start_at(*center);
  } else {
    auto median = aggregators::median(updates, validation);
    if (!median.ok()) return std::move(median).error();
    v.assign(median->data(), median->data() + first.size());
  }
  return iterate(detail::WholeUpdates{updates}, std::move(v), tau, iterations, first.rows,
                 first.cols, [&] { return validation.complete(); });
}

Result<CenteredClippingResult> centered_clipping(const update::Pieces& pieces, double tau,
                                                 uint64_t iterations,
                                                 std::optional<UpdateView> center) {
  std::vector<float> max_abs(pieces.count());
  FENRO_RETURN_IF_ERROR(update::validate_pieces(pieces, max_abs.data()));
  const UpdateView whole{nullptr, 1, pieces.size(), 0};  // the concatenated shape
  FENRO_RETURN_IF_ERROR(check_parameters(tau, iterations, whole, center));
  std::vector<double> v;
  if (center) {
    v = start_at(*center);
  } else {
    // The median is coordinate-wise: piece by piece.
    v.resize(pieces.size());
    for (size_t p = 0; p < pieces.piece_count(); ++p) {
      auto median = aggregators::median(pieces.piece(p), update::Validation::done());
      if (!median.ok()) return std::move(median).error();
      std::copy(median->data(), median->data() + median->size(), v.begin() + pieces.offset(p));
    }
  }
  return iterate(detail::PiecedUpdates{pieces}, std::move(v), tau, iterations, 1, pieces.size(),
                 [] { return Status{}; });
}

}  // namespace fenro::aggregators
