#include "fenro/aggregators/geometric_median.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "fenro/aggregators/update_access.h"
#include "fenro/aggregators/weights.h"
#include "fenro/math/means.h"
#include "fenro/math/norms.h"
#include "fenro/math/running_sums.h"
#include "fenro/update/validation.h"

namespace fenro::aggregators {
namespace {

// The Weiszfeld coefficients for the distances `dist`, and their sum.
double betas(std::span<const double> w, const std::vector<double>& dist, double nu,
             std::vector<double>& beta) {
  double sum = 0.0;
  for (size_t i = 0; i < w.size(); ++i) {
    beta[i] = w[i] / std::max(nu, dist[i]);
    sum += beta[i];
  }
  if (std::isfinite(sum) && sum > 0.0) return sum;
  // w_i / max(nu, d_i) left the double range: scale every beta by the smallest denominator,
  // which leaves the step unchanged and keeps the largest ratio at 1.
  double smallest = std::max(nu, dist[0]);
  for (double d : dist) smallest = std::min(smallest, std::max(nu, d));
  sum = 0.0;
  for (size_t i = 0; i < w.size(); ++i) {
    beta[i] = w[i] * (smallest / std::max(nu, dist[i]));
    sum += beta[i];
  }
  return sum;
}

}  // namespace

Result<WeiszfeldRun> weiszfeld(PointPasses& points, std::span<const double> w, double nu,
                               double tol, uint64_t max_iter,
                               const std::function<Status()>& complete) {
  const size_t n = w.size();
  double total = 0.0;
  for (double wi : w) total += wi;

  // Iterates live in up to three slots: the best so far, the current one, and the next.
  size_t best = 0, current = 0;
  FENRO_RETURN_IF_ERROR(points.weighted(0, w, total, false));
  std::vector<double> dist(n), beta(n);
  const auto objective = [&](size_t slot) -> Result<double> {
    FENRO_RETURN_IF_ERROR(points.distances(slot, dist.data()));
    double f = 0.0;
    for (size_t i = 0; i < n; ++i) f += w[i] * dist[i];
    return f;
  };
  auto first = objective(0);
  if (!first.ok()) return std::move(first).error();
  double best_f = *first, previous_f = best_f;
  if (!std::isfinite(best_f)) FENRO_RETURN_IF_ERROR(complete());
  uint64_t steps = 0;
  while (steps < max_iter && previous_f > 0.0) {
    size_t next = 0;
    while (next == best || next == current) ++next;
    const double sum = betas(w, dist, nu, beta);
    FENRO_RETURN_IF_ERROR(points.weighted(next, beta, sum, false));
    auto f = objective(next);
    if (!f.ok()) return std::move(f).error();
    ++steps;
    current = next;
    if (*f < best_f) {
      best = next;
      best_f = *f;
    }
    // Written so that an increase stops as well.
    if (!(previous_f - *f >= tol * previous_f)) break;
    previous_f = *f;
  }
  return WeiszfeldRun{best, steps, best_f};
}

namespace {

// The iteration on in-memory updates (a detail::WholeUpdates or detail::PiecedUpdates), the
// result of shape rows x cols.
template <class Access>
Result<GeometricMedianResult> iterate(Access access, const std::vector<double>& w, double nu,
                                      double tol, uint64_t max_iter, size_t rows, size_t cols,
                                      const std::function<Status()>& complete) {
  detail::LocalPoints<Access> points(access);
  auto run = weiszfeld(points, w, nu, tol, max_iter, complete);
  if (!run.ok()) return std::move(run).error();
  GeometricMedianResult result{Matrix(rows, cols), run->iterations, run->objective};
  points.round_to(run->best, result.aggregate.data());
  return result;
}

// The parameter checks after the update validation, first failure wins.
Status check_parameters(size_t n, std::optional<std::span<const float>> weights, double nu,
                        double tol) {
  if (weights) FENRO_RETURN_IF_ERROR(detail::check_rule_weights("geometric_median", *weights, n));
  if (!(std::isfinite(nu) && nu > 0.0)) {
    return error::RealParameterOutOfRange{"geometric_median", "nu", nu,
                                          error::RealRange::kFinitePositive};
  }
  if (!(std::isfinite(tol) && tol >= 0.0)) {
    return error::RealParameterOutOfRange{"geometric_median", "tol", tol,
                                          error::RealRange::kFiniteNonNegative};
  }
  return {};
}

}  // namespace

Result<GeometricMedianResult> geometric_median(std::span<const UpdateView> updates,
                                               std::optional<std::span<const float>> weights,
                                               double nu, double tol, uint64_t max_iter) {
  // The values are checked as they are used: a NaN or an infinity in an update that takes part
  // makes its distance to z0 non-finite. The value scan runs only then, when an update of
  // weight zero takes no part, or before another check reports its failure, so the first
  // failing check in order still decides the error.
  update::Validation validation = update::Validation::of(updates);
  FENRO_RETURN_IF_ERROR(validation.check_shapes());
  Status checked = check_parameters(updates.size(), weights, nu, tol);
  if (!checked.ok()) return validation.report(std::move(checked).error());
  // The updates that take part, with their weights.
  std::vector<UpdateView> active;
  std::vector<double> w;
  for (size_t i = 0; i < updates.size(); ++i) {
    const double wi = weights ? static_cast<double>((*weights)[i]) : 1.0;
    if (wi == 0.0) continue;
    active.push_back(updates[i]);
    w.push_back(wi);
  }
  if (active.size() < updates.size()) FENRO_RETURN_IF_ERROR(validation.complete());
  return iterate(detail::WholeUpdates{active}, w, nu, tol, max_iter, updates[0].rows,
                 updates[0].cols, [&] { return validation.complete(); });
}

Result<GeometricMedianResult> geometric_median(const update::Pieces& pieces,
                                               std::optional<std::span<const float>> weights,
                                               double nu, double tol, uint64_t max_iter) {
  std::vector<float> max_abs(pieces.count());
  FENRO_RETURN_IF_ERROR(update::validate_pieces(pieces, max_abs.data()));
  FENRO_RETURN_IF_ERROR(check_parameters(pieces.count(), weights, nu, tol));
  // The updates that take part, piece by piece, with their weights.
  std::vector<UpdateView> active;
  std::vector<double> w;
  std::vector<size_t> taking;
  for (size_t i = 0; i < pieces.count(); ++i) {
    const double wi = weights ? static_cast<double>((*weights)[i]) : 1.0;
    if (wi == 0.0) continue;
    taking.push_back(i);
    w.push_back(wi);
  }
  for (size_t p = 0; p < pieces.piece_count(); ++p) {
    for (size_t i : taking) active.push_back(pieces.piece(p)[i]);
  }
  const update::Pieces part(active, taking.size());
  return iterate(detail::PiecedUpdates{part}, w, nu, tol, max_iter, 1, pieces.size(),
                 [] { return Status{}; });
}

}  // namespace fenro::aggregators
