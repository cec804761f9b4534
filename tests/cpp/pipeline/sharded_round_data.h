// The coordinator's ShardedRoundData over workers that live in this process: every update is
// cut into coordinate ranges, one buffer per range, and each range's passes see that range's
// buffers only (range_pass), as a worker process sees its shard. The questions the round asks
// can be counted and one of them made to fail, as a lost worker would.
#ifndef FENRO_TESTS_CPP_PIPELINE_SHARDED_ROUND_DATA_H_
#define FENRO_TESTS_CPP_PIPELINE_SHARDED_ROUND_DATA_H_

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "fenro/pipeline/sharded_round_data.h"

namespace fenro::testing {

// In-memory workers, one per range.
class LocalRanges final : public pipeline::RangePasses {
 public:
  // `cuts` as pipeline::ShardedRoundData takes them; the updates before the first one whose
  // shape differs from update 0's are copied range by range.
  LocalRanges(std::span<const UpdateView> updates, const std::vector<size_t>& cuts);

  Matrix assembled(pipeline::UpdateShape shape) const;

  Result<std::vector<std::vector<update::RangeScan>>> scans(
      std::span<const size_t> updates) override;
  Result<std::vector<std::vector<double>>> sums(std::span<const size_t> updates,
                                                bool distances) override;
  Result<std::vector<double>> chained_sums(std::span<const size_t> updates,
                                           bool distances) override;
  Result<std::vector<std::optional<pipeline::RangeNonFinite>>> kernel(
      const pipeline::RangeKernel& kernel) override;
  Result<std::vector<std::vector<int64_t>>> gram(
      std::span<const size_t> updates,
      std::span<const aggregators::detail::BlockScale> scales) override;
  Status mean_of(std::span<const size_t> updates) override;
  Status copy_of(size_t update) override;
  Status point_weighted(size_t slot, std::span<const size_t> updates,
                        std::span<const double> coeffs, double divisor, bool step) override;
  Result<std::vector<double>> point_chained_sums(size_t slot,
                                                 std::span<const size_t> updates) override;
  Status point_slice(size_t slot, bool to_point) override;
  Result<std::vector<std::vector<double>>> pair_tables(std::span<const size_t> updates) override;
  Result<std::vector<double>> pair_chained_sums(
      std::span<const size_t> updates,
      std::span<const std::pair<uint32_t, uint32_t>> pairs) override;

 private:
  struct Range {
    size_t lo = 0;
    size_t hi = 0;
    std::vector<std::vector<float>> values;  // values[k]: update k's range
    std::vector<float> aggregate;
    std::vector<std::vector<double>> points;  // by slot
    std::vector<double>& point(size_t slot) {
      if (slot >= points.size()) points.resize(slot + 1);
      points[slot].resize(hi - lo);
      return points[slot];
    }
    std::vector<UpdateView> views(std::span<const size_t> updates) const;
  };
  std::vector<Range> ranges_;
};

// pipeline::ShardedRoundData over LocalRanges, with every question counted.
class ShardedRoundData final : public pipeline::RoundData {
 public:
  ShardedRoundData(std::span<const UpdateView> updates, std::vector<size_t> cuts);

  // The aggregate's ranges put together, in update 0's shape.
  Matrix assembled() const { return ranges_.assembled(shapes_[0]); }
  size_t chained() const { return data_.chained(); }
  // Makes question number `call` (counting from 0, every question but count and shape) fail
  // with `error`, as a lost worker would; counts the questions asked so far.
  void fail_at(size_t call, FenroError error) { failure_ = {call, std::move(error)}; }
  size_t questions() const { return questions_; }

  size_t count() const override { return data_.count(); }
  pipeline::UpdateShape shape(size_t update) const override { return data_.shape(update); }
  void check_aggregate_fits() override { data_.check_aggregate_fits(); }
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
  Status ask();

  std::vector<pipeline::UpdateShape> shapes_;
  LocalRanges ranges_;
  pipeline::ShardedRoundData data_;
  size_t questions_ = 0;
  std::optional<std::pair<size_t, FenroError>> failure_;
};

}  // namespace fenro::testing

#endif  // FENRO_TESTS_CPP_PIPELINE_SHARDED_ROUND_DATA_H_
