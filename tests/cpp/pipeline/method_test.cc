#include "fenro/pipeline/method.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace fenro::pipeline {
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

TEST(ParseMethod, AcceptsEveryFormWithTheNumberRuleAndPrintsItsDebugText) {
  using M = AggregationMethod;
  const std::tuple<const char*, M, const char*> cases[] = {
      {"trimmed_mean", M::trimmed_mean(), "TrimmedMean"},
      {"median", M::median(), "Median"},
      {"fedavg", M::fed_avg(), "FedAvg"},
      {"krum", M::krum(1), "Krum(1)"},
      {"krum:0", M::krum(0), "Krum(0)"},
      {"krum:+2", M::krum(2), "Krum(2)"},
      {"krum:007", M::krum(7), "Krum(7)"},
      {"krum:18446744073709551615", M::krum(UINT64_MAX), "Krum(18446744073709551615)"},
      {"multi_krum", M::multi_krum(1, std::nullopt), "MultiKrum(1, None)"},
      {"multi_krum:2:0", M::multi_krum(2, 0), "MultiKrum(2, Some(0))"},
      {"multi_krum:+1:+3", M::multi_krum(1, 3), "MultiKrum(1, Some(3))"}};
  for (const auto& [text, method, debug] : cases) {
    EXPECT_EQ(parsed(text), method);
    EXPECT_EQ(method.debug_text(), debug);
  }
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

}  // namespace
}  // namespace fenro::pipeline
