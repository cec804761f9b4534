#include "fenro/pipeline/aggregator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "fenro/error/number_text.h"
#include "test_util.h"

namespace fenro::pipeline {
namespace {

using testing::Updates;
using Ids = std::vector<std::string_view>;
using Weights = std::vector<float>;

ByzantineAggregator make(AggregationMethod m, float trim = 0.1f, float ban = 0.0f,
                         bool adaptive = false, std::optional<float> bound = std::nullopt) {
  auto r = ByzantineAggregator::create(m, trim, ban, adaptive, bound);
  EXPECT_TRUE(r.ok());
  return std::move(r).value();
}

// n updates of shape rows x cols, update k filled with the constant values[k].
Updates constant_updates(const std::vector<float>& values, size_t rows = 2, size_t cols = 3) {
  Updates u(values.size(), rows, cols);
  for (size_t k = 0; k < values.size(); ++k)
    for (float& x : u.data[k]) x = values[k];
  return u;
}

// One round on `u`, with client ids and weights when given.
Result<Matrix> round(ByzantineAggregator& agg, const Updates& u, const std::optional<Ids>& ids = {},
                     const std::optional<Weights>& weights = {},
                     audit::RoundAudit* audit = nullptr) {
  std::optional<std::span<const std::string_view>> id_span;
  if (ids) id_span = *ids;
  std::optional<std::span<const float>> weight_span;
  if (weights) weight_span = *weights;
  return agg.aggregate_weighted(u.views, id_span, weight_span, audit);
}

std::string non_finite(float v, size_t update, size_t row, size_t col) {
  return "Non-finite value " + error::format_message_number(v) + " in update " +
         std::to_string(update) + " at [" + std::to_string(row) + ", " + std::to_string(col) + "]";
}

TEST(Round, ChecksRunInTheDocumentedOrder) {
  auto med = make(AggregationMethod::median());
  auto fed = make(AggregationMethod::fed_avg());
  const Updates none(0, 0, 0), ok = constant_updates({1, 2, 3});
  // Weights with a non-FedAvg method come before the emptiness check.
  EXPECT_ERROR_MSG(round(med, none, {}, Weights{1, 1}),
                   "weights are only supported by FedAvg, not Median");
  EXPECT_ERROR_MSG(round(fed, none, {}, Weights{1, 1}), "Empty updates provided");
  // Client ids before weights; weight count before weight values.
  EXPECT_ERROR_MSG(round(fed, ok, Ids{"a", "b"}, Weights{1, NAN}),
                   "Client ID count mismatch: 3 updates but 2 client IDs");
  EXPECT_ERROR_MSG(round(fed, ok, {}, Weights{1, NAN}), "Dimension mismatch in updates");
  EXPECT_ERROR_MSG(round(fed, ok, {}, Weights{1, NAN, 1}), "Non-finite weight NaN at index 1");
  // A bound that only a restored aggregator can hold is refused on every round.
  auto restored = ByzantineAggregator::restore(AggregationMethod::median(), 0.1f, {}, 0.0f, false,
                                               -1.0f);
  EXPECT_ERROR_MSG(round(restored, ok), "Invalid norm bound: -1 (must be finite and > 0)");
}

// The round scans the values on the pass that measures norms (with a filter, or for Krum), or
// leaves the scan to a coordinate-wise kernel's own pass, which checks the values as it loads
// them (median, trimmed mean) or after the mean (FedAvg). Every way reports the same first
// failure, before any later check's.
TEST(Round, EveryValidationPathReportsTheFirstFailureInOrder) {
  using M = AggregationMethod;
  const std::pair<const char*, ByzantineAggregator> configs[] = {
      {"fedavg", make(M::fed_avg())},
      {"median", make(M::median())},
      {"trimmed mean", make(M::trimmed_mean())},
      {"median excluding", make(M::median(), 0.1f, 0.3f)},
      {"fedavg with a bound", make(M::fed_avg(), 0.1f, 0.0f, false, 1e30f)},
      {"trimmed mean with a bound", make(M::trimmed_mean(), 0.1f, 0.3f, false, 1e30f)},
      {"krum", make(M::krum(0))},
      {"multi-krum", make(M::multi_krum(0, std::nullopt))}};
  for (auto [name, agg] : configs) {
    SCOPED_TRACE(name);
    for (float bad : {NAN, -INFINITY}) {
      // Update 2's value wherever it sits comes before update 3's, and before the id count.
      Updates u = constant_updates({1, 2, 3, 4}, 3, 40);
      u.at(2, 2, 39) = bad;
      u.at(3, 0, 0) = NAN;
      for (const std::optional<Ids>& ids : {std::optional<Ids>(), std::optional<Ids>({"a", "b"}),
                                            std::optional<Ids>({"a", "b", "c", "d"})}) {
        EXPECT_ERROR_MSG(round(agg, u, ids), non_finite(bad, 2, 2, 39));
      }
      // Update 1's shape comes after update 0's values and before update 2's.
      u.views[1].cols = 39;
      EXPECT_ERROR_MSG(round(agg, u), "Dimension mismatch in updates");
      u.at(0, 1, 2) = bad;
      EXPECT_ERROR_MSG(round(agg, u, Ids{"a"}), non_finite(bad, 0, 1, 2));
    }
  }
  // FedAvg checks the values after its kernel: a failing weight check, or a zero weight on the
  // bad update (inf * 0 is NaN, 0 * NaN too), must not hide them.
  auto fed = make(M::fed_avg());
  for (float bad : {NAN, INFINITY}) {
    Updates u = constant_updates({1, 2, 3});
    u.at(1, 1, 1) = bad;
    for (const Weights& w : {Weights{1}, Weights{1, -1, 0}}) {
      EXPECT_ERROR_MSG(round(fed, u, {}, w), non_finite(bad, 1, 1, 1));
    }
    u.at(0, 1, 1) = bad;
    u.at(1, 1, 1) = 0.0f;
    EXPECT_ERROR_MSG(round(fed, u, {}, Weights{0, 1, 1}), non_finite(bad, 0, 1, 1));
  }
}

TEST(Round, KrumAndMultiKrumQuorumEdges) {
  auto krum = make(AggregationMethod::krum(1));
  const Updates four = constant_updates({1, 2, 3, 4});
  // A failure other than a refused round leaves the caller's audit as it was.
  audit::RoundAudit audit;
  audit.decisions.resize(9);
  EXPECT_ERROR_MSG(round(krum, four, {}, {}, &audit), "Insufficient quorum: need 5, got 4");
  EXPECT_EQ(audit.decisions.size(), 9u);
  // One shared exponent for the cluster (mantissas 20480, 24576, 28672, 32767): with k = 2,
  // 1.75 has the smallest sum of its two nearest squared distances.
  const Updates five = constant_updates({1.25f, 1.5f, 1.75f, 2.0f, 50.0f});
  auto r = round(krum, five, {}, {}, &audit);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->at(1, 2), 1.75f);
  EXPECT_EQ(std::get<audit::record::Krum>(audit.method).f, 1u);
  ASSERT_EQ(audit.decisions.size(), 5u);  // every update Admitted, selected or not
  for (const auto& d : audit.decisions) {
    EXPECT_TRUE(std::holds_alternative<audit::Admitted>(d.verdict));
  }
  auto huge = make(AggregationMethod::krum(UINT64_MAX / 2));
  EXPECT_ERROR_MSG(round(huge, five), "Insufficient quorum: need 18446744073709551615, got 5");

  const Updates seven = constant_updates({1, 2, 3, 4, 5, 6, 7});
  auto mk_default = make(AggregationMethod::multi_krum(1, std::nullopt));
  ASSERT_TRUE(round(mk_default, seven, {}, {}, &audit).ok());
  const auto* rec = std::get_if<audit::record::MultiKrum>(&audit.method);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->selected_m, 3u);
  EXPECT_EQ(rec->requested_m, std::nullopt);
  for (uint64_t m : {4, 0}) {
    auto mk = make(AggregationMethod::multi_krum(1, m));
    EXPECT_ERROR_MSG(round(mk, seven), "Multi-Krum selection m=" + std::to_string(m) +
                                           " exceeds the safe maximum 3 for 7 clients with f=1 "
                                           "(requires 1 <= m <= n - 2f - 2)");
  }
  ASSERT_TRUE(round(mk_default, five, {}, {}, &audit).ok());
  EXPECT_EQ(std::get<audit::record::MultiKrum>(audit.method).selected_m, 1u);
  EXPECT_ERROR_MSG(round(mk_default, four), "Insufficient quorum: need 5, got 4");
}

TEST(Round, MultiKrumMeanAddsSelectedUpdatesInSelectionOrder) {
  // Five clients sharing one exponent and two outliers; with k = 4 the best three scores are
  // 1.75, 1.5 and 1.875, in that order.
  auto mk = make(AggregationMethod::multi_krum(1, 3));
  auto r = round(mk, constant_updates({1.25f, 1.5f, 1.75f, 1.875f, 2.0f, 50.0f, -40.0f}));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->at(1, 2), ((1.75f + 1.5f) + 1.875f) / 3.0f);
}

TEST(Round, BanAndNormFilteringTogetherWithTheirAudit) {
  auto agg = make(AggregationMethod::fed_avg(), 0.1f, /*ban=*/0.6f, false, /*bound=*/5.0f);
  for (const char* id : {"trusted", "huge", "edge"}) {
    ASSERT_TRUE(agg.reputation().set_score(id, 0.9f).ok());
  }
  // 1x2 updates: (3, 4) has norm exactly 5 and is kept; (30, 40) exceeds; the unknown client
  // reads 0.5 < 0.6 and is excluded without being norm-checked or stored.
  Updates u(4, 1, 2);
  u.data = {{1, 1}, {30, 40}, {3, 4}, {1e30f, 1e30f}};
  u.refresh();
  audit::RoundAudit audit;
  auto r = round(agg, u, Ids{"trusted", "huge", "edge", "stranger"}, {}, &audit);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->at(0, 0), 2.0f);
  EXPECT_EQ(r->at(0, 1), 2.5f);
  EXPECT_EQ(agg.reputation().all_scores().count("stranger"), 0u);
  const auto& decisions = audit.decisions;
  ASSERT_EQ(decisions.size(), 4u);
  EXPECT_TRUE(std::holds_alternative<audit::Admitted>(decisions[0].verdict));
  EXPECT_TRUE(std::holds_alternative<audit::Admitted>(decisions[2].verdict));
  const auto* rej = std::get_if<audit::RejectedByNormBound>(&decisions[1].verdict);
  ASSERT_NE(rej, nullptr);
  EXPECT_EQ(rej->norm, 50.0);
  EXPECT_EQ(rej->bound, 5.0f);
  const auto* ex = std::get_if<audit::ExcludedByReputation>(&decisions[3].verdict);
  ASSERT_NE(ex, nullptr);
  EXPECT_EQ(ex->score, 0.5f);
  EXPECT_EQ(ex->threshold, 0.6f);
  EXPECT_EQ(decisions[3].client_id, "stranger");
  EXPECT_EQ(decisions[3].index, 3u);
  EXPECT_TRUE(std::holds_alternative<audit::record::FedAvg>(audit.method));

  // Everything turned away: the count is of submitted updates, and the audit carries the
  // decisions and a record of the configuration with nothing the round would have chosen.
  Updates bad(3, 1, 2);
  bad.data = {{30, 40}, {30, 40}, {1, 1}};
  bad.refresh();
  EXPECT_ERROR_MSG(round(agg, bad, Ids{"huge", "huge", "nobody"}, {}, &audit),
                   "all 3 submitted updates were rejected");
  ASSERT_EQ(audit.decisions.size(), 3u);
  EXPECT_TRUE(std::holds_alternative<audit::RejectedByNormBound>(audit.decisions[1].verdict));
  EXPECT_TRUE(std::holds_alternative<audit::ExcludedByReputation>(audit.decisions[2].verdict));
  auto mk = make(AggregationMethod::multi_krum(2, 5), 0.1f, 0.0f, false, 1.0f);
  EXPECT_ERROR_MSG(round(mk, bad, {}, {}, &audit), "all 3 submitted updates were rejected");
  EXPECT_EQ(std::get<audit::record::MultiKrum>(audit.method).requested_m, 5u);
  EXPECT_FALSE(std::get<audit::record::MultiKrum>(audit.method).selected_m.has_value());
  EXPECT_FALSE(audit.decisions[0].client_id.has_value());
  auto tm = make(AggregationMethod::trimmed_mean(), 0.3f, 0.0f, true, 1.0f);
  EXPECT_ERROR_MSG(round(tm, bad, {}, {}, &audit), "all 3 submitted updates were rejected");
  const auto& refused = std::get<audit::record::TrimmedMean>(audit.method);
  EXPECT_EQ(refused.configured_trim, 0.3f);
  EXPECT_FALSE(refused.effective_trim.has_value());
  EXPECT_TRUE(refused.adaptive);
}

TEST(Round, ZeroThresholdAndMissingIdsExcludeNobody) {
  auto agg = make(AggregationMethod::median(), 0.1f, 0.0f);
  ASSERT_TRUE(agg.reputation().set_score("zero", 0.0f).ok());
  const Updates u = constant_updates({1, 2, 3});
  audit::RoundAudit audit;
  ASSERT_TRUE(round(agg, u, Ids{"zero", "zero", "zero"}, {}, &audit).ok());
  for (const auto& d : audit.decisions) {
    EXPECT_TRUE(std::holds_alternative<audit::Admitted>(d.verdict));
  }

  auto banning = make(AggregationMethod::median(), 0.1f, 1.0f);
  ASSERT_TRUE(round(banning, u).ok());
  EXPECT_TRUE(banning.reputation().all_scores().empty());
}

TEST(Round, ReputationMovesByDistanceFromTheAggregate) {
  auto agg = make(AggregationMethod::median());
  ASSERT_TRUE(agg.reputation().set_score("top", 0.99f).ok());
  ASSERT_TRUE(agg.reputation().set_score("low", 0.05f).ok());
  // 1x1 updates; the median of {0, 0, 0, 5, 20, 0, 1} is 0.
  Updates u(7, 1, 1);
  u.data = {{0}, {0}, {0}, {5}, {20}, {0}, {1}};
  u.refresh();
  ASSERT_TRUE(round(agg, u, Ids{"new", "top", "twice", "middle", "low", "twice", "edge"}).ok());
  const auto& s = agg.reputation();
  EXPECT_EQ(s.get_score("new"), 0.5f + 0.02f);
  EXPECT_EQ(s.get_score("top"), 1.0f);           // saturates
  EXPECT_EQ(s.get_score("twice"), (0.5f + 0.02f) + 0.02f);
  EXPECT_EQ(s.all_scores().count("middle"), 0u);  // 1 <= d <= 10: untouched, still unknown
  EXPECT_EQ(s.get_score("low"), 0.0f);            // 0.05 - 0.08 saturates at 0
  EXPECT_EQ(s.all_scores().count("edge"), 0u);    // exactly 1.0 is not "close"
}

TEST(UpdateReputations, AFailingDistanceChangesNothing) {
  auto agg = make(AggregationMethod::median());
  Updates u(2, 1, 2);
  u.data = {{0, 0}, {std::nanf(""), 0}};
  u.refresh();
  Matrix aggregate = Matrix::zeros(1, 2);
  const Ids ids = {"a", "b"};
  EXPECT_ERROR_MSG(agg.update_reputations(ids, u.views, aggregate),
                   "non-finite reputation distance NaN for client b");
  EXPECT_TRUE(agg.reputation().all_scores().empty());  // "a" was not rewarded either
  // Unequal lists: only the common prefix is processed.
  const Ids one = {"a"};
  ASSERT_TRUE(agg.update_reputations(one, u.views, aggregate).ok());
  EXPECT_EQ(agg.reputation().get_score("a"), 0.52f);
}

TEST(Round, TrimmedMeanRecordsTheEffectiveAdaptiveTrim) {
  auto agg = make(AggregationMethod::trimmed_mean(), 0.1f, 0.0f, /*adaptive=*/true);
  for (const char* id : {"a", "b", "c", "d"}) ASSERT_TRUE(agg.reputation().set_score(id, 0.9f).ok());
  ASSERT_TRUE(agg.reputation().set_score("e", 0.1f).ok());
  const Updates u = constant_updates({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  audit::RoundAudit audit;
  auto r = round(agg, u, {}, {}, &audit);
  ASSERT_TRUE(r.ok());
  const auto& rec = std::get<audit::record::TrimmedMean>(audit.method);
  EXPECT_EQ(rec.configured_trim, 0.1f);
  EXPECT_EQ(rec.effective_trim, 0.05f + 1.0f / 5.0f);  // 0.25: k = 3 of 10
  EXPECT_TRUE(rec.adaptive);
  EXPECT_EQ(r->at(0, 0), (4.0f + 5.0f + 6.0f + 7.0f) / 4.0f);

  // A restored NaN fraction reaches the kernel, which names it.
  auto nan_trim = ByzantineAggregator::restore(AggregationMethod::trimmed_mean(), std::nanf(""),
                                               {}, 0.0f, true, std::nullopt);
  ASSERT_TRUE(nan_trim.reputation().set_score("x", 0.1f).ok());
  EXPECT_ERROR_MSG(round(nan_trim, u), "Invalid trim fraction: NaN (must be 0.0-0.5)");
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

ByzantineAggregator read_ok(const std::string& text) {
  auto r = ByzantineAggregator::from_json(text);
  if (auto* err = std::get_if<std::string>(&r)) {
    ADD_FAILURE() << text << " -> " << *err;
    return make(AggregationMethod::median());
  }
  return std::get<ByzantineAggregator>(std::move(r));
}

// The message without its " at line L column C" suffix, which must be present.
std::string read_error(const std::string& text) {
  auto r = ByzantineAggregator::from_json(text);
  const auto* err = std::get_if<std::string>(&r);
  const size_t at = err == nullptr ? std::string::npos : err->rfind(" at line ");
  unsigned line = 0, column = 0;
  char rest = 0;
  if (at == std::string::npos ||
      std::sscanf(err->c_str() + at, " at line %u column %u%c", &line, &column, &rest) != 2) {
    ADD_FAILURE() << text << (err ? " has no position suffix: " + *err : " was read");
    return err ? *err : "";
  }
  return err->substr(0, at);
}

const std::string kTail = R"(,"trim_fraction":0.1,"reputation":{},"ban_threshold":0.0,"adaptive_trim":false,"norm_bound":null})";

TEST(AggregatorJson, WritesTheExactTexts) {
  EXPECT_EQ(make(AggregationMethod::trimmed_mean()).to_json(), R"({"method":"TrimmedMean")" + kTail);
  EXPECT_EQ(make(AggregationMethod::multi_krum(1, std::nullopt)).to_json(),
            R"({"method":{"MultiKrum":[1,null]})" + kTail);
  EXPECT_EQ(make(AggregationMethod::multi_krum(1, 3)).to_json(),
            R"({"method":{"MultiKrum":[1,3]})" + kTail);
  auto krum = make(AggregationMethod::krum(2), 0.2f, 0.3f, true, 5.0f);
  ASSERT_TRUE(krum.reputation().set_score("a", 0.52f).ok());
  ASSERT_TRUE(krum.reputation().set_score("b", 0.42f).ok());
  EXPECT_EQ(krum.to_json(),
            R"({"method":{"Krum":2},"trim_fraction":0.2,"reputation":{"a":0.52,"b":0.42},)"
            R"("ban_threshold":0.3,"adaptive_trim":true,"norm_bound":5.0})");
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

// Only the first problem in text order is reported; its position is checked by read_error.
TEST(AggregatorJson, ReportsTheFirstProblemInTextOrder) {
  const std::string bound = " (must be finite and > 0)", mk = " expected tuple variant "
                            "AggregationMethod::MultiKrum with 2 elements",
                    st = " expected struct ByzantineAggregator with 6 elements";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"method":"Median","trim_fraction":0.1,"ban_threshold":0})", "missing field `reputation`"},
      {R"({"trim_fraction":0.1,"ban_threshold":0})", "missing field `method`"},
      {R"({"method":"Median","trim_fraction":0.1,"trim_fraction":0.2})",
       "duplicate field `trim_fraction`"},
      {R"({"method":"Mean"})",
       "unknown variant `Mean`, expected one of `TrimmedMean`, `Median`, `FedAvg`, `Krum`, "
       "`MultiKrum`"},
      {R"({"method":{"MultiKrum":[1]}})", "invalid length 1," + mk},
      {R"({"method":{"MultiKrum":[1,2,3]}})", "invalid length 3," + mk},
      {R"({"method":"Median","reputation":{"b":0.5,"a":2}})",
       "reputation score 2 is outside the storable range [0, 1]"},
      {R"({"method":"Median","ban_threshold":1.5,"reputation":{"a":2}})",
       "invalid reputation threshold 1.5; expected a finite value in [0, 1]"},
      {R"({"norm_bound":0,"method":"x"})", "Invalid norm bound: 0" + bound},
      {R"({"norm_bound":-1})", "Invalid norm bound: -1" + bound},
      {R"({"norm_bound":1e39})", "Invalid norm bound: inf" + bound},
      {R"({"method":"Median","norm_bound":null,"x":)" + std::string(40, '[') +
           std::string(40, ']') + "}",
       "missing field `trim_fraction`"},
      {R"([{"Krum":1},0.1,{}])", "invalid length 3," + st},
      {R"([{"Krum":1},0.1,{},0,false,null,7])", "invalid length 7," + st}};
  for (const auto& [text, msg] : cases) EXPECT_EQ(read_error(text), msg) << text;
  for (const char* text : {R"({"method":"Krum"})", R"({"method":{"Median":1}})",
                           R"({"method":{"Krum":-1}})",
                           R"({"method":"Median","trim_fraction":0.1,"reputation":{},"ban_threshold":0} x)"})
    EXPECT_FALSE(read_error(text).empty()) << text;
  EXPECT_EQ(read_error(R"({"method":"Median","adaptive_trim":1})").rfind("expected", 0), 0u);
  EXPECT_EQ(read_error("42").rfind("expected struct ByzantineAggregator", 0), 0u);
}

}  // namespace
}  // namespace fenro::pipeline
