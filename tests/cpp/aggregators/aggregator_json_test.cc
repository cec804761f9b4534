#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>
#include <string>

#include "fenro/aggregators/aggregator.h"
#include "test_util.h"

namespace fenro::aggregators {
namespace {

ByzantineAggregator make(AggregationMethod m, float trim, float ban, bool adaptive,
                         std::optional<float> bound) {
  auto r = ByzantineAggregator::create(m, trim, ban, adaptive, bound);
  EXPECT_TRUE(r.ok());
  return std::move(r).value();
}

ByzantineAggregator read_ok(const std::string& text) {
  auto r = ByzantineAggregator::from_json(text);
  if (auto* err = std::get_if<std::string>(&r)) {
    ADD_FAILURE() << text << " -> " << *err;
    return make(AggregationMethod::median(), 0, 0, false, std::nullopt);
  }
  return std::get<ByzantineAggregator>(std::move(r));
}

// The message without its " at line L column C" suffix, which must be present.
std::string read_error(const std::string& text) {
  auto r = ByzantineAggregator::from_json(text);
  const auto* err = std::get_if<std::string>(&r);
  if (err == nullptr) {
    ADD_FAILURE() << "read succeeded: " << text;
    return "";
  }
  std::smatch m;
  static const std::regex suffix("^(.*) at line [0-9]+ column [0-9]+$");
  if (!std::regex_match(*err, m, suffix)) {
    ADD_FAILURE() << "no position suffix: " << *err;
    return *err;
  }
  return m[1];
}

const std::string kTail = R"(,"trim_fraction":0.1,"reputation":{},"ban_threshold":0.0,"adaptive_trim":false,"norm_bound":null})";

TEST(AggregatorJson, WritesTheExactTexts) {
  EXPECT_EQ(make(AggregationMethod::trimmed_mean(), 0.1f, 0, false, std::nullopt).to_json(),
            R"({"method":"TrimmedMean")" + kTail);
  auto krum = make(AggregationMethod::krum(2), 0.2f, 0.3f, true, 5.0f);
  ASSERT_TRUE(krum.reputation().set_score("a", 0.52f).ok());
  ASSERT_TRUE(krum.reputation().set_score("b", 0.42f).ok());
  EXPECT_EQ(krum.to_json(),
            R"({"method":{"Krum":2},"trim_fraction":0.2,"reputation":{"a":0.52,"b":0.42},)"
            R"("ban_threshold":0.3,"adaptive_trim":true,"norm_bound":5.0})");
  EXPECT_EQ(make(AggregationMethod::multi_krum(1, std::nullopt), 0.1f, 0, false, std::nullopt)
                .to_json(),
            R"({"method":{"MultiKrum":[1,null]})" + kTail);
  EXPECT_EQ(make(AggregationMethod::multi_krum(1, 3), 0.1f, 0, false, std::nullopt).to_json(),
            R"({"method":{"MultiKrum":[1,3]})" + kTail);
}

TEST(AggregatorJson, RoundTripsBitForBitIncludingNonFiniteTrim) {
  for (float trim : {0.1f, -0.0f, 1e-30f, 0.9f, std::numeric_limits<float>::quiet_NaN(),
                     std::numeric_limits<float>::infinity()}) {
    auto a = make(AggregationMethod::multi_krum(UINT64_MAX, 0), trim, 0.25f, true,
                  std::numeric_limits<float>::denorm_min());
    ASSERT_TRUE(a.reputation().set_score(std::string("n\0ul", 4), 0.3f).ok());
    ASSERT_TRUE(a.reputation().set_score("\"quoted\"\n", 1.0f).ok());
    const std::string text = a.to_json();
    auto b = read_ok(text);
    EXPECT_EQ(b.to_json(), text);
    EXPECT_EQ(b.method(), a.method());
    if (std::isfinite(trim)) {
      EXPECT_EQ(testing::bits_of(b.trim_fraction()), testing::bits_of(trim));
    } else {
      EXPECT_TRUE(std::isnan(b.trim_fraction()));  // written as null, read back as NaN
    }
    EXPECT_EQ(testing::bits_of(*b.norm_bound()), testing::bits_of(*a.norm_bound()));
    EXPECT_EQ(b.reputation().all_scores(), a.reputation().all_scores());
  }
  // A restored negative-zero threshold keeps its sign.
  auto neg = read_ok(R"({"method":"Median","trim_fraction":0,"reputation":{},"ban_threshold":-0.0})");
  EXPECT_TRUE(std::signbit(neg.ban_threshold()));
  EXPECT_NE(neg.to_json().find(R"("ban_threshold":-0.0)"), std::string::npos);
}

TEST(AggregatorJson, ReadsTolerantForms) {
  auto a = read_ok(" \n{\"version\":2,\"ban_threshold\":0.5,\"reputation\":{\"x\":1},"
                   "\"trim_fraction\":0.9,\"method\":{\"Median\":null}}\r\n");
  EXPECT_EQ(a.method(), AggregationMethod::median());
  EXPECT_FALSE(a.adaptive_trim());
  EXPECT_FALSE(a.norm_bound().has_value());
  EXPECT_EQ(a.trim_fraction(), 0.9f);
  auto arr = read_ok(R"([{"Krum":0},0.1,{},0.0])");
  EXPECT_EQ(arr.method(), AggregationMethod::krum(0));
  auto full = read_ok(R"([{"MultiKrum":[0,0]},null,{"a":0.5},1,true,2.5])");
  EXPECT_EQ(full.method(), AggregationMethod::multi_krum(0, 0));
  EXPECT_TRUE(std::isnan(full.trim_fraction()));
  EXPECT_EQ(full.norm_bound(), 2.5f);
}

TEST(AggregatorJson, ReportsTheFirstProblemInTextOrder) {
  EXPECT_EQ(read_error(R"({"method":"Median","trim_fraction":0.1,"ban_threshold":0})"),
            "missing field `reputation`");
  EXPECT_EQ(read_error(R"({"trim_fraction":0.1,"ban_threshold":0})"), "missing field `method`");
  EXPECT_EQ(read_error(R"({"method":"Median","trim_fraction":0.1,"trim_fraction":0.2})"),
            "duplicate field `trim_fraction`");
  EXPECT_EQ(read_error(R"({"method":"Mean"})"),
            "unknown variant `Mean`, expected one of `TrimmedMean`, `Median`, `FedAvg`, `Krum`, "
            "`MultiKrum`");
  EXPECT_EQ(read_error(R"({"method":{"MultiKrum":[1]}})"),
            "invalid length 1, expected tuple variant AggregationMethod::MultiKrum with 2 elements");
  EXPECT_EQ(read_error(R"({"method":{"MultiKrum":[1,2,3]}})"),
            "invalid length 3, expected tuple variant AggregationMethod::MultiKrum with 2 elements");
  EXPECT_FALSE(read_error(R"({"method":"Krum"})").empty());
  EXPECT_FALSE(read_error(R"({"method":{"Median":1}})").empty());
  EXPECT_FALSE(read_error(R"({"method":{"Krum":-1}})").empty());
  EXPECT_EQ(read_error(R"({"method":"Median","reputation":{"b":0.5,"a":2}})"),
            "reputation score 2 is outside the storable range [0, 1]");
  EXPECT_EQ(read_error(R"({"method":"Median","ban_threshold":1.5,"reputation":{"a":2}})"),
            "invalid reputation threshold 1.5; expected a finite value in [0, 1]");
  EXPECT_EQ(read_error(R"({"norm_bound":0,"method":"x"})"),
            "Invalid norm bound: 0 (must be finite and > 0)");
  EXPECT_EQ(read_error(R"({"norm_bound":-1})"), "Invalid norm bound: -1 (must be finite and > 0)");
  EXPECT_EQ(read_error(R"({"norm_bound":1e39})"),
            "Invalid norm bound: inf (must be finite and > 0)");
  EXPECT_EQ(read_error(R"({"method":"Median","adaptive_trim":1})").rfind("expected", 0), 0u);
  EXPECT_EQ(read_error(R"({"method":"Median","norm_bound":null,"x":)"
                       R"([[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]})"),
            "missing field `trim_fraction`");
  EXPECT_EQ(read_error(R"([{"Krum":1},0.1,{}])"),
            "invalid length 3, expected struct ByzantineAggregator with 6 elements");
  EXPECT_EQ(read_error(R"([{"Krum":1},0.1,{},0,false,null,7])"),
            "invalid length 7, expected struct ByzantineAggregator with 6 elements");
  EXPECT_EQ(read_error("42").rfind("expected struct ByzantineAggregator", 0), 0u);
  EXPECT_FALSE(read_error(R"({"method":"Median","trim_fraction":0.1,"reputation":{},"ban_threshold":0} x)").empty());
}

}  // namespace
}  // namespace fenro::aggregators
