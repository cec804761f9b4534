// The aggregation method of a configured aggregator: its variants, the method text a caller
// configures it with, and its debug text.
#ifndef FENRO_PIPELINE_METHOD_H_
#define FENRO_PIPELINE_METHOD_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace fenro::pipeline {

struct AggregationMethod {
  enum class Kind { kTrimmedMean, kMedian, kFedAvg, kKrum, kMultiKrum };
  Kind kind = Kind::kTrimmedMean;
  uint64_t f = 0;             // Krum and MultiKrum only
  std::optional<uint64_t> m;  // MultiKrum only

  static AggregationMethod trimmed_mean() { return {Kind::kTrimmedMean, 0, std::nullopt}; }
  static AggregationMethod median() { return {Kind::kMedian, 0, std::nullopt}; }
  static AggregationMethod fed_avg() { return {Kind::kFedAvg, 0, std::nullopt}; }
  static AggregationMethod krum(uint64_t f) { return {Kind::kKrum, f, std::nullopt}; }
  static AggregationMethod multi_krum(uint64_t f, std::optional<uint64_t> m) {
    return {Kind::kMultiKrum, f, m};
  }

  // The debug text: "TrimmedMean", "Median", "FedAvg", "Krum(3)", "MultiKrum(1, None)",
  // "MultiKrum(2, Some(3))". A fixed text that callers match on: it appears in the
  // WeightsRequireFedAvg message ("weights are only supported by FedAvg, not Krum(3)").
  std::string debug_text() const;

  // FedAvg, trimmed mean and median: rules that work coordinate by coordinate and read every
  // value once, so a round can leave the scan for non-finite values to them.
  bool coordinate_wise() const {
    return kind == Kind::kFedAvg || kind == Kind::kTrimmedMean || kind == Kind::kMedian;
  }

  bool operator==(const AggregationMethod&) const = default;
};

// Parses the method text, byte for byte: "trimmed_mean", "median", "fedavg", "krum" (f = 1),
// "krum:N", "multi_krum" (f = 1, no m), "multi_krum:f:m". A count is an optional single '+'
// and one or more ASCII digits that fit in 64 bits. On failure returns the message, a fixed
// text that callers match on:
//  - "Invalid krum parameter '<text>'. <help>" for a bad "krum:" count;
//  - "Invalid multi_krum parameters '<text>'. Use 'multi_krum' or 'multi_krum:f:m'" unless
//    "multi_krum:" is followed by exactly two fields;
//  - "Invalid multi_krum f parameter '<f>'. <help>", then the same for m;
//  - "Unknown method '<text>'. <help>" for anything else;
// where <help> is "Use 'trimmed_mean', 'median', 'fedavg', 'krum[:N]', or 'multi_krum[:f:m]'".
std::variant<AggregationMethod, std::string> parse_method(std::string_view text);

}  // namespace fenro::pipeline

#endif  // FENRO_PIPELINE_METHOD_H_
