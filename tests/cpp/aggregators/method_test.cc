#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "fenro/aggregators/aggregator.h"
#include "test_util.h"

namespace fenro::aggregators {
namespace {

const std::string kHelp =
    "Use 'trimmed_mean', 'median', 'fedavg', 'krum[:N]', or 'multi_krum[:f:m]'";

AggregationMethod parsed(std::string_view text) {
  auto r = parse_method(text);
  EXPECT_TRUE(std::holds_alternative<AggregationMethod>(r)) << text;
  return std::holds_alternative<AggregationMethod>(r) ? std::get<AggregationMethod>(r)
                                                      : AggregationMethod{};
}

std::string failure(std::string_view text) {
  auto r = parse_method(text);
  EXPECT_TRUE(std::holds_alternative<std::string>(r)) << text;
  return std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : "";
}

TEST(ParseMethod, AcceptsEveryFormWithTheNumberRule) {
  EXPECT_EQ(parsed("trimmed_mean"), AggregationMethod::trimmed_mean());
  EXPECT_EQ(parsed("median"), AggregationMethod::median());
  EXPECT_EQ(parsed("fedavg"), AggregationMethod::fed_avg());
  EXPECT_EQ(parsed("krum"), AggregationMethod::krum(1));
  EXPECT_EQ(parsed("krum:0"), AggregationMethod::krum(0));
  EXPECT_EQ(parsed("krum:+2"), AggregationMethod::krum(2));
  EXPECT_EQ(parsed("krum:007"), AggregationMethod::krum(7));
  EXPECT_EQ(parsed("krum:18446744073709551615"), AggregationMethod::krum(UINT64_MAX));
  EXPECT_EQ(parsed("multi_krum"), AggregationMethod::multi_krum(1, std::nullopt));
  EXPECT_EQ(parsed("multi_krum:2:0"), AggregationMethod::multi_krum(2, 0));
  EXPECT_EQ(parsed("multi_krum:+1:+3"), AggregationMethod::multi_krum(1, 3));
}

TEST(ParseMethod, ReportsEachFailureWithItsMessage) {
  for (const char* t : {"Median", " median", "median ", "krumx", "multi_krumx", "", "krum ",
                        "multi_krum "}) {
    EXPECT_EQ(failure(t), "Unknown method '" + std::string(t) + "'. " + kHelp);
  }
  for (const char* t : {"krum:", "krum:-1", "krum: 2", "krum:18446744073709551616", "krum:+",
                        "krum:++1", "krum:1:2"}) {
    EXPECT_EQ(failure(t), "Invalid krum parameter '" + std::string(t) + "'. " + kHelp);
  }
  for (const char* t : {"multi_krum:", "multi_krum:2", "multi_krum:1:2:3"}) {
    EXPECT_EQ(failure(t), "Invalid multi_krum parameters '" + std::string(t) +
                              "'. Use 'multi_krum' or 'multi_krum:f:m'");
  }
  EXPECT_EQ(failure("multi_krum::3"), "Invalid multi_krum f parameter ''. " + kHelp);
  EXPECT_EQ(failure("multi_krum:x:y"), "Invalid multi_krum f parameter 'x'. " + kHelp);
  EXPECT_EQ(failure("multi_krum:1:"), "Invalid multi_krum m parameter ''. " + kHelp);
  EXPECT_EQ(failure("multi_krum:1:18446744073709551616"),
            "Invalid multi_krum m parameter '18446744073709551616'. " + kHelp);
}

TEST(AggregationMethod, DebugText) {
  EXPECT_EQ(AggregationMethod::trimmed_mean().debug_text(), "TrimmedMean");
  EXPECT_EQ(AggregationMethod::median().debug_text(), "Median");
  EXPECT_EQ(AggregationMethod::fed_avg().debug_text(), "FedAvg");
  EXPECT_EQ(AggregationMethod::krum(3).debug_text(), "Krum(3)");
  EXPECT_EQ(AggregationMethod::multi_krum(1, std::nullopt).debug_text(), "MultiKrum(1, None)");
  EXPECT_EQ(AggregationMethod::multi_krum(2, 3).debug_text(), "MultiKrum(2, Some(3))");
}

TEST(ByzantineAggregatorCreate, ChecksThresholdThenNormBound) {
  auto make = [](float ban, std::optional<float> bound) {
    return ByzantineAggregator::create(AggregationMethod::median(), 0.9f, ban, false, bound);
  };
  EXPECT_ERROR_MSG(make(1.5f, 0.0f),
                   "invalid reputation threshold 1.5; expected a finite value in [0, 1]");
  EXPECT_ERROR_MSG(make(std::nanf(""), std::nullopt),
                   "invalid reputation threshold NaN; expected a finite value in [0, 1]");
  EXPECT_ERROR_MSG(make(0.5f, 0.0f), "Invalid norm bound: 0 (must be finite and > 0)");
  EXPECT_ERROR_MSG(make(0.5f, -0.0f), "Invalid norm bound: -0 (must be finite and > 0)");
  EXPECT_ERROR_MSG(make(0.5f, std::numeric_limits<float>::infinity()),
                   "Invalid norm bound: inf (must be finite and > 0)");
  EXPECT_TRUE(make(0.0f, std::numeric_limits<float>::denorm_min()).ok());
  EXPECT_TRUE(make(1.0f, std::nullopt).ok());
  auto a = make(-0.0f, std::nullopt);
  ASSERT_TRUE(a.ok());
  EXPECT_FALSE(std::signbit(a->ban_threshold()));  // negative zero stored as zero
  EXPECT_EQ(a->trim_fraction(), 0.9f);             // stored unchecked
}

}  // namespace
}  // namespace fenro::aggregators
