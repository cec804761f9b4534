// Where a round's updates live, and the passes over their values that the round asks for.
//
// The round (round.cc) holds every rule: the checks and their order, the filters, the method's
// parameters and quorum, Krum's selection, the reputation rule and the audit. A RoundData only
// runs passes over the values and reports what they found, so a source that keeps the updates
// elsewhere (cut into coordinate ranges held by several processes, say) runs the same round by
// answering the same questions. LocalRoundData answers them with the kernels on in-memory views.
//
// Updates are named by their index in the submitted list. A method pass computes the round's
// aggregate, which the source keeps: the distance passes measure from it, and the caller takes
// it from the source when the round has succeeded. Any pass may fail with an error of the
// source's own (a lost worker, say), which the round returns as it is.
#ifndef FENRO_PIPELINE_ROUND_DATA_H_
#define FENRO_PIPELINE_ROUND_DATA_H_

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "fenro/aggregators/krum.h"
#include "fenro/error/result.h"
#include "fenro/update/update.h"

namespace fenro::pipeline {

struct UpdateShape {
  size_t rows = 0;
  size_t cols = 0;
  bool operator==(const UpdateShape&) const = default;
};

// An interval that holds a norm or a distance: lo <= value <= hi, where the value is the
// double sum of squares in row-major order from -0.0 of math/norms.h, square-rooted. A source
// that computes that sum itself gives lo == hi == value; a NaN value is given as {NaN, NaN}.
// A source that adds up independently summed pieces of the sum gives bounds that hold it
// (math::bounds_of_reordered_sum), which decide most comparisons with a threshold.
struct Interval {
  double lo = 0.0;
  double hi = 0.0;

  static Interval exactly(double value) { return {value, value}; }
  // Whether the interval names a single value (up to the sign of a zero or of a NaN).
  bool is_exact() const { return lo == hi || (std::isnan(lo) && std::isnan(hi)); }
};

// Krum scores: (position in the list of updates scored, score), in position order.
using aggregators::KrumScores;

class RoundData {
 public:
  virtual ~RoundData() = default;

  // The number of updates and the shape of one; no values are read.
  virtual size_t count() const = 0;
  virtual UpdateShape shape(size_t update) const = 0;
  // Called once, before any value is read: throws std::bad_alloc when this source could not
  // hold an aggregate of update 0's shape, so such a round fails before it reads anything.
  virtual void check_aggregate_fits() {}

  // The value scan of the update validation over updates [0, prefix), which share update 0's
  // shape (1 <= prefix <= count()): the first NaN or infinity in update order and then
  // row-major order, as update::validate_updates reports it (NonFiniteValue); success when
  // every value is finite.
  virtual Status first_non_finite(size_t prefix) = 0;

  // The same scan and every scanned update's L2 norm, from one visit of the values: an
  // interval holding each norm of updates [0, prefix), or first_non_finite(prefix)'s error.
  virtual Result<std::vector<Interval>> norms(size_t prefix) = 0;
  // The exact L2 norms of the listed updates, which norms() has measured (so they are finite).
  virtual Result<std::vector<double>> exact_norms(std::span<const size_t> updates) = 0;

  // The coordinate-wise methods on the listed updates in the given order, with the kernels'
  // checks, arithmetic and messages (aggregators/fedavg.h, trimmed_mean.h, median.h);
  // `checked_weights` passed aggregators::check_weights. With `values_owed`, the value scan
  // has not run: the list is every update in index order, and the first non-finite value, if
  // there is one, is reported before any error of the method's own. On success the result is
  // the round's aggregate.
  virtual Status fedavg(std::span<const size_t> updates,
                        std::optional<std::span<const float>> checked_weights,
                        bool values_owed) = 0;
  virtual Status trimmed_mean(std::span<const size_t> updates, float trim_fraction,
                              bool values_owed) = 0;
  virtual Status median(std::span<const size_t> updates, bool values_owed) = 0;

  // The Krum scores of the listed updates (at least one; all validated and of one shape): for
  // each, the saturating sum of its k smallest squared distances to the others on their BFP16
  // encodings (aggregators/krum.h), in exact integers.
  virtual Result<KrumScores> krum_scores(std::span<const size_t> updates, size_t k) = 0;
  // Multi-Krum's aggregate: the plain mean of the listed updates added in the order given
  // (aggregators::mean_unchecked).
  virtual Status mean_of(std::span<const size_t> updates) = 0;
  // Krum's aggregate: a copy of one update.
  virtual Status copy_of(size_t update) = 0;

  // Intervals holding the L2 distances of the listed updates from the aggregate (norms.h's
  // order), and their exact values.
  virtual Result<std::vector<Interval>> distances(std::span<const size_t> updates) = 0;
  virtual Result<std::vector<double>> exact_distances(std::span<const size_t> updates) = 0;
};

// The updates of an in-memory round, as views the caller keeps alive and unchanged for the
// source's life. Every answer is exact (norms and distances from one sequential pass), and the
// value scan rides on the pass the round asks for: the norm pass, or a coordinate-wise
// kernel's own pass over the values while they are still owed.
class LocalRoundData final : public RoundData {
 public:
  explicit LocalRoundData(std::span<const UpdateView> updates) : updates_(updates) {}

  // The aggregate of the last method pass (an empty matrix before one); the source keeps none.
  Matrix take_aggregate() { return std::move(aggregate_); }

  size_t count() const override { return updates_.size(); }
  UpdateShape shape(size_t update) const override {
    return {updates_[update].rows, updates_[update].cols};
  }
  void check_aggregate_fits() override {
    Matrix::ensure_allocatable(updates_[0].rows, updates_[0].cols);
  }
  Status first_non_finite(size_t prefix) override;
  Result<std::vector<Interval>> norms(size_t prefix) override;
  Result<std::vector<double>> exact_norms(std::span<const size_t> updates) override;
  Status fedavg(std::span<const size_t> updates,
                std::optional<std::span<const float>> checked_weights, bool values_owed) override;
  Status trimmed_mean(std::span<const size_t> updates, float trim_fraction,
                      bool values_owed) override;
  Status median(std::span<const size_t> updates, bool values_owed) override;
  Result<KrumScores> krum_scores(std::span<const size_t> updates, size_t k) override;
  Status mean_of(std::span<const size_t> updates) override;
  Status copy_of(size_t update) override;
  Result<std::vector<Interval>> distances(std::span<const size_t> updates) override;
  Result<std::vector<double>> exact_distances(std::span<const size_t> updates) override;

 private:
  std::vector<UpdateView> views_of(std::span<const size_t> updates) const;
  // Keeps a method's result as the aggregate, or passes its error on.
  Status keep(Result<Matrix> aggregate);

  std::span<const UpdateView> updates_;
  Matrix aggregate_;
};

}  // namespace fenro::pipeline

#endif  // FENRO_PIPELINE_ROUND_DATA_H_
