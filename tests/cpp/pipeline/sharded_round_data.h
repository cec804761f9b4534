// A RoundData whose updates are cut into coordinate ranges, each range of each update in a
// buffer of its own, as the workers of a distributed round hold them. Every question of the
// round is answered the way the distributed source answers it: passes that see one range's
// buffers only (what a worker runs), joined in range order (what the coordinator does):
//  - the value scan: range scans joined with update::append_scan;
//  - norms and distances: per-range sums from -0.0 added up, with math::bounds_of_reordered_sum
//    around them; exact values by the chain, one running sum continued range after range;
//  - coordinate-wise methods: the kernel's checks on updates without coordinates first, then
//    the kernel on every range, whose first non-finite value is moved to whole-update
//    coordinates, the smallest (update, coordinate) winning;
//  - Krum: each update's largest magnitude joined over the ranges gives its exponent, each
//    range's exact integer Gram table of the mantissas, the tables added in 128 bits, then the
//    distances and scores from the sums.
#ifndef FENRO_TESTS_CPP_PIPELINE_SHARDED_ROUND_DATA_H_
#define FENRO_TESTS_CPP_PIPELINE_SHARDED_ROUND_DATA_H_

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "fenro/pipeline/round_data.h"
#include "fenro/update/range_scan.h"

namespace fenro::testing {

class ShardedRoundData final : public pipeline::RoundData {
 public:
  // `cuts`: 0 = cuts[0] <= cuts[1] <= ... <= cuts.back() = the size of update 0; equal cuts
  // make empty ranges, and cuts may fall anywhere inside a row. The updates before the first
  // one whose shape differs from update 0's are copied range by range; the rest keep only
  // their shape, since a round never reads their values.
  ShardedRoundData(std::span<const UpdateView> updates, std::vector<size_t> cuts);

  // The aggregate's ranges put together, in update 0's shape.
  Matrix assembled() const;
  // How many norms and distances went through the chain.
  size_t chained() const { return chained_; }
  // Makes question number `call` (counting from 0, every question but count and shape) fail
  // with `error`, as a lost worker would; counts the questions asked so far.
  void fail_at(size_t call, FenroError error) { failure_ = {call, std::move(error)}; }
  size_t questions() const { return questions_; }

  size_t count() const override { return shapes_.size(); }
  pipeline::UpdateShape shape(size_t update) const override { return shapes_[update]; }
  Status first_non_finite(size_t prefix) override;
  Result<std::vector<pipeline::Interval>> norms(size_t prefix) override;
  Result<std::vector<double>> exact_norms(std::span<const size_t> updates) override;
  Status fedavg(std::span<const size_t> updates,
                std::optional<std::span<const float>> checked_weights, bool values_owed) override;
  Status trimmed_mean(std::span<const size_t> updates, float trim_fraction,
                      bool values_owed) override;
  Status median(std::span<const size_t> updates, bool values_owed) override;
  Result<pipeline::KrumScores> krum_scores(std::span<const size_t> updates, size_t k) override;
  Status mean_of(std::span<const size_t> updates) override;
  Status copy_of(size_t update) override;
  Result<std::vector<pipeline::Interval>> distances(std::span<const size_t> updates) override;
  Result<std::vector<double>> exact_distances(std::span<const size_t> updates) override;

 private:
  // One coordinate range [lo, hi) of every shared update, and of the aggregate.
  struct Range {
    size_t lo = 0;
    size_t hi = 0;
    std::vector<std::vector<float>> values;  // values[k]: update k's range
    std::vector<float> aggregate;
    // The listed updates' buffers as 1 x (hi - lo) views.
    std::vector<UpdateView> views(std::span<const size_t> updates) const;
  };
  // A kernel run on the views of one range under a validation, the same on every range.
  template <class Kernel>
  Status coordinate_wise(std::span<const size_t> updates, bool values_owed, const Kernel& kernel);
  // The scans of `updates`, joined over the ranges into whole-update scans.
  std::vector<update::RangeScan> joined_scans(std::span<const size_t> updates) const;
  // The first non-finite value of updates [0, prefix), from joined scans.
  Status scan_first(size_t prefix) const;
  // Sums of squares (of differences from the aggregate, with `distances`): per-range sums from
  // -0.0 added in range order, or with `chain` one sum continued over every range in turn.
  std::vector<double> sums(std::span<const size_t> updates, bool distances, bool chain) const;
  // The square roots of chained sums: exact norms or distances.
  Result<std::vector<double>> chained_roots(std::span<const size_t> updates, bool distances);
  // Counts a question; fails the one chosen by fail_at.
  Status ask();

  std::vector<pipeline::UpdateShape> shapes_;
  size_t size_ = 0;  // coordinates of an update
  std::vector<Range> ranges_;
  size_t chained_ = 0;
  size_t questions_ = 0;
  std::optional<std::pair<size_t, FenroError>> failure_;
};

}  // namespace fenro::testing

#endif  // FENRO_TESTS_CPP_PIPELINE_SHARDED_ROUND_DATA_H_
