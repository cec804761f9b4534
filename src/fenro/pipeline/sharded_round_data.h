// A round whose updates are cut into coordinate ranges held by separate workers (processes,
// machines), run bit for bit as the round over in-memory updates.
//
// The layout: coordinate c = row * cols + col of an update; cuts 0 = b_0 <= b_1 <= ... <= b_W = d
// make W ranges, and the worker of range s holds, for every update k, the dense float32 values
// of coordinates [b_s, b_{s+1}) of update k in coordinate order.
//
// Two halves:
//  - range_pass: what a worker computes on its buffers alone (one 1 x len view per update),
//    small answers that cross between processes;
//  - ShardedRoundData: the coordinator's RoundData, which asks every worker through RangePasses
//    and joins the answers in range order:
//      the value scan: range scans joined with update::append_scan;
//      norms and distances: per-range sums from -0.0 added up, with
//        math::bounds_of_reordered_sum around them (they decide most comparisons); the exact
//        value, where the round needs it, by the chain: one running sum continued range after
//        range, which adds every element in row-major order exactly as one sequential pass;
//      coordinate-wise methods: the kernel's own checks on updates without coordinates first
//        (they never depend on a value), then the kernel on every range; a range's first
//        non-finite value is moved to whole-update coordinates, the smallest (update,
//        coordinate) winning;
//      Krum: each update's largest magnitude joined over the ranges gives its exponent, each
//        range's exact integer Gram table of the mantissas, the tables added in 128 bits, then
//        the distances and scores from the sums.
#ifndef FENRO_PIPELINE_SHARDED_ROUND_DATA_H_
#define FENRO_PIPELINE_SHARDED_ROUND_DATA_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "fenro/aggregators/bfp16_kernels.h"
#include "fenro/aggregators/centered_clipping.h"
#include "fenro/aggregators/geometric_median.h"
#include "fenro/error/result.h"
#include "fenro/pipeline/round_data.h"
#include "fenro/update/range_scan.h"

namespace fenro::pipeline {

// A coordinate-wise method as one range runs it: the round's three, the mean around the
// median of the stateless rules, and Bulyan's last step: the mean of the `f` values nearest to
// the median (kAroundMedian, 1 <= f <= the number of updates, unchecked).
enum class RangeMethod : uint8_t { kFedAvg, kTrimmedMean, kMedian, kMeamed, kAroundMedian };

struct RangeKernel {
  RangeMethod method = RangeMethod::kFedAvg;
  std::vector<size_t> updates;                // the listed updates, in the order used
  std::optional<std::vector<float>> weights;  // FedAvg's checked weights
  float trim_fraction = 0.0f;                 // the trimmed mean's
  // The value scan has not run: `updates` is every update in index order, and a range reports
  // its first non-finite value instead of a slice.
  bool values_owed = false;
  uint64_t f = 0;  // the mean around the median's f; kAroundMedian's count of values kept
};

// A range's first non-finite value: the position in the kernel's list, the coordinate within
// the range, the value.
struct RangeNonFinite {
  uint64_t update = 0;
  uint64_t coordinate = 0;
  float value = 0.0f;
};

namespace range_pass {

// The scan of each buffer, coordinates counting from the range's first.
std::vector<update::RangeScan> scans(std::span<const UpdateView> buffers);
// Continues each running[t] with the squares of buffers[t] (of its differences from
// `aggregate`, the aggregate's slice of the same range, when given), in coordinate order.
void continue_sums(std::span<const UpdateView> buffers, const UpdateView* aggregate,
                   double* running);
// The kernel on the listed buffers (views of kernel.updates, in that order): the aggregate's
// slice, or the first non-finite value when values are owed. Other failures of the kernel
// (which the coordinator's check rules out) come back as errors.
Result<Matrix> kernel(const RangeKernel& kernel, std::span<const UpdateView> buffers,
                      std::optional<RangeNonFinite>* non_finite);
// The range's exact Gram table (aggregators::detail::gram_with_scales) with the whole updates'
// scales.
std::vector<int64_t> gram(std::span<const UpdateView> buffers,
                          std::span<const aggregators::detail::BlockScale> scales);

// A range's part of a float64 point of the iterative rules, set from the buffers (views of the
// listed updates, in that order) as aggregators::PointPasses::weighted sets a point.
// Extra memory, with `step`: at most 32768 doubles.
void point_weighted(std::span<const UpdateView> buffers, std::span<const double> coeffs,
                    double divisor, bool step, double* point);
// The range's exact squared distance of every pair of buffers (math::pairwise_sq_distances_f64):
// row-major n x n.
std::vector<double> pair_table(std::span<const UpdateView> buffers);
// Continues running[p] with the squares of the differences of the buffers pairs[p] = (i, j), in
// coordinate order.
void continue_pair_sums(std::span<const UpdateView> buffers,
                        std::span<const std::pair<uint32_t, uint32_t>> pairs, double* running);
// Continues each running[t] with the squares of buffers[t]'s differences from the range's part
// of a point, in coordinate order.
void continue_point_sums(std::span<const UpdateView> buffers, const double* point,
                         double* running);

}  // namespace range_pass

// The coordinator's access to the workers. Every answer lists the ranges in order, or fails
// with an error of the source's own (error::SourceFailed: a lost or silent worker). Updates are
// named by their index in the round.
class RangePasses {
 public:
  virtual ~RangePasses() = default;
  virtual Result<std::vector<std::vector<update::RangeScan>>> scans(
      std::span<const size_t> updates) = 0;
  // Per-range sums from -0.0 (range_pass::continue_sums), of differences from the aggregate's
  // slice with `distances`.
  virtual Result<std::vector<std::vector<double>>> sums(std::span<const size_t> updates,
                                                        bool distances) = 0;
  // One running sum per update from -0.0, continued by range 0, then range 1, ...: the last.
  virtual Result<std::vector<double>> chained_sums(std::span<const size_t> updates,
                                                   bool distances) = 0;
  // Runs the kernel on every range. On success each range keeps its slice as the aggregate's
  // and the answer lists nothing; a range that met a non-finite value (values owed) names it.
  virtual Result<std::vector<std::optional<RangeNonFinite>>> kernel(const RangeKernel& kernel) = 0;
  virtual Result<std::vector<std::vector<int64_t>>> gram(
      std::span<const size_t> updates,
      std::span<const aggregators::detail::BlockScale> scales) = 0;
  // Every range keeps the mean of the listed updates in the given order (mean_unchecked), or a
  // copy of one update, as its slice of the aggregate.
  virtual Status mean_of(std::span<const size_t> updates) = 0;
  virtual Status copy_of(size_t update) = 0;
  // The float64 points of the iterative rules, by slot, every range holding its part of each:
  // range_pass::point_weighted with the listed updates.
  virtual Status point_weighted(size_t slot, std::span<const size_t> updates,
                                std::span<const double> coeffs, double divisor, bool step) = 0;
  // One running sum per listed update of its squared differences from point `slot`, from -0.0,
  // continued by range 0, then range 1, ...: the last.
  virtual Result<std::vector<double>> point_chained_sums(size_t slot,
                                                         std::span<const size_t> updates) = 0;
  // Every range sets its part of point `slot` from its slice of the aggregate (`to_point`), or
  // its slice of the aggregate from its part of point `slot`, each value rounded to float32.
  virtual Status point_slice(size_t slot, bool to_point) = 0;
  // Every range's range_pass::pair_table of the listed updates.
  virtual Result<std::vector<std::vector<double>>> pair_tables(std::span<const size_t> updates) = 0;
  // One running sum per pair of listed updates (positions in the list) of their squared
  // differences, from -0.0, continued by range 0, then range 1, ...: the last.
  virtual Result<std::vector<double>> pair_chained_sums(
      std::span<const size_t> updates, std::span<const std::pair<uint32_t, uint32_t>> pairs) = 0;
};

// Even cuts of `size` coordinates into at most `ranges` ranges, none empty unless size is 0
// (then one empty range).
std::vector<size_t> even_cuts(size_t size, size_t ranges);

class ShardedRoundData final : public RoundData {
 public:
  // `shapes`: every update's shape; `cuts` as above over update 0's size. The workers hold the
  // ranges of the updates before the first one whose shape differs from update 0's; the round
  // never reads the values of the others.
  ShardedRoundData(std::vector<UpdateShape> shapes, std::vector<size_t> cuts, RangePasses& passes)
      : shapes_(std::move(shapes)), cuts_(std::move(cuts)), passes_(passes) {}

  // How many norms and distances went through the chain.
  size_t chained() const { return chained_; }

  // A stateless coordinate-wise rule (fedavg, trimmed_mean, median, meamed of aggregators/,
  // with weights unchecked) on the listed updates, as the function on the list of their views
  // runs it, errors naming positions in the list: its checks that read no value first (as if
  // the updates had no coordinates), each preceded by the first non-finite value if there is
  // one; then the rule on every range, the values checked as they are loaded. The updates all
  // have update 0's shape, with at least one coordinate. On success every range keeps its
  // slice of the result.
  Status rule(RangeKernel kernel);

  // The exact Krum distance (krum.h: on the 16-bit block-floating-point encoding, saturated)
  // of every pair of the listed updates, row-major m x m with a zero diagonal, from the ranges'
  // exact Gram tables. A NaN or an infinity among the values fails with the first one
  // (NonFiniteValue, naming the position in the list).
  Result<std::vector<int64_t>> krum_distances(std::span<const size_t> updates);

  // The stateless rules that need every coordinate of an update at once, on the listed updates
  // (all of update 0's shape, with at least one coordinate), with the bits of the functions of
  // aggregators/ on their views. Their parameters are checked by the caller. A NaN or an
  // infinity among the values makes them fail with the first one (NonFiniteValue, naming the
  // position in the list). On success every range keeps its slice of the result.
  //
  // bulyan (bulyan.h): the selected positions, in selection order.
  Result<std::vector<size_t>> bulyan(std::span<const size_t> updates, size_t f);
  // Nearest-neighbour mixing's ranking (math::nearest_f64): for each listed update, the k
  // nearest of the list (positions, ascending), from the ranges' exact pair tables added up
  // (math::bounds_of_reordered_sum bounds the sequential sums), the pairs those bounds cannot
  // place summed exactly by the chain. The ranges keep no slice.
  Result<std::vector<uint32_t>> nearest(std::span<const size_t> updates, size_t k);
  // The smoothed Weiszfeld iteration (geometric_median.h) with the weights w (all > 0) of the
  // listed updates, every step's distances chained over the ranges.
  Result<aggregators::WeiszfeldRun> geometric_median(std::span<const size_t> updates,
                                                     std::span<const double> w, double nu,
                                                     double tol, uint64_t max_iter);
  // Centered clipping (centered_clipping.h) from the coordinate-wise median of the listed
  // updates, or, with `from_median` false, from the aggregate's slices the ranges hold (the
  // center, set by the caller).
  Result<aggregators::CenteredClippingSteps> centered_clipping(std::span<const size_t> updates,
                                                               double tau, uint64_t iterations,
                                                               bool from_median);

  size_t count() const override { return shapes_.size(); }
  UpdateShape shape(size_t update) const override { return shapes_[update]; }
  void check_aggregate_fits() override;
  Status first_non_finite(size_t prefix) override;
  Result<std::vector<Interval>> norms(size_t prefix) override;
  Result<std::vector<double>> exact_norms(std::span<const size_t> updates) override;
  Status fedavg(std::span<const size_t> updates,
                std::optional<std::span<const float>> checked_weights, bool values_owed) override;
  Status trimmed_mean(std::span<const size_t> updates, float trim_fraction,
                      bool values_owed) override;
  Status median(std::span<const size_t> updates, bool values_owed) override;
  // A NaN or an infinity among the values fails with the first one, as the stateless rules
  // below do (the round asks only for validated updates).
  Result<KrumScores> krum_scores(std::span<const size_t> updates, size_t k) override;
  Status mean_of(std::span<const size_t> updates) override;
  Status copy_of(size_t update) override;
  Result<std::vector<Interval>> distances(std::span<const size_t> updates) override;
  Result<std::vector<double>> exact_distances(std::span<const size_t> updates) override;

 private:
  size_t size() const { return cuts_.back(); }
  Result<std::vector<update::RangeScan>> joined_scans(std::span<const size_t> updates);
  Status scan_first(size_t prefix);
  Result<std::vector<Interval>> bounds(std::span<const size_t> updates, bool distances);
  Result<std::vector<double>> chained_roots(std::span<const size_t> updates, bool distances);
  // The first non-finite value of the listed updates, named by position in the list.
  Status scan_listed(std::span<const size_t> updates);
  // The kernel's checks on the coordinator, then the kernel on every range.
  Status coordinate_wise(RangeKernel kernel);
  // The kernel on every range; a non-finite value met there, moved to whole-update
  // coordinates, the smallest (update, coordinate) winning.
  Status on_ranges(const RangeKernel& kernel);

  std::vector<UpdateShape> shapes_;
  std::vector<size_t> cuts_;
  RangePasses& passes_;
  size_t chained_ = 0;
};

}  // namespace fenro::pipeline

#endif  // FENRO_PIPELINE_SHARDED_ROUND_DATA_H_
