#include "fenro/pipeline/aggregator.h"

#include "fenro/aggregators/adaptive.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "test_util.h"

namespace fenro::pipeline {
namespace {

using testing::Updates;
using Ids = std::vector<std::string_view>;

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

TEST(Round, ChecksRunInTheDocumentedOrder) {
  auto med = make(AggregationMethod::median());
  const std::vector<float> w2 = {1.0f, 1.0f};
  // Weights with a non-FedAvg method come before the emptiness check.
  EXPECT_ERROR_MSG(med.aggregate_weighted({}, std::nullopt, std::span<const float>(w2)),
                   "weights are only supported by FedAvg, not Median");
  auto fed = make(AggregationMethod::fed_avg());
  EXPECT_ERROR_MSG(fed.aggregate_weighted({}, std::nullopt, std::span<const float>(w2)),
                   "Empty updates provided");

  // Update 0's NaN is found before update 1's shape.
  Updates u = constant_updates({1, 2, 3});
  u.at(0, 1, 2) = std::nanf("");
  u.views[1].cols = 2;
  EXPECT_ERROR_MSG(fed.aggregate_weighted(u.views, std::nullopt, std::nullopt),
                   "Non-finite value NaN in update 0 at [1, 2]");

  // Client ids before weights; weight count before weight values.
  Updates ok = constant_updates({1, 2, 3});
  const Ids two_ids = {"a", "b"};
  const std::vector<float> bad_w = {1.0f, std::nanf("")};
  EXPECT_ERROR_MSG(fed.aggregate_weighted(ok.views, std::span<const std::string_view>(two_ids),
                                          std::span<const float>(bad_w)),
                   "Client ID count mismatch: 3 updates but 2 client IDs");
  EXPECT_ERROR_MSG(fed.aggregate_weighted(ok.views, std::nullopt, std::span<const float>(bad_w)),
                   "Dimension mismatch in updates");
  const std::vector<float> nan_w = {1.0f, std::nanf(""), 1.0f};
  EXPECT_ERROR_MSG(fed.aggregate_weighted(ok.views, std::nullopt, std::span<const float>(nan_w)),
                   "Non-finite weight NaN at index 1");

  // A bound that only a restored aggregator can hold is refused on every round.
  auto restored = ByzantineAggregator::restore(AggregationMethod::median(), 0.1f, {}, 0.0f, false,
                                               -1.0f);
  EXPECT_ERROR_MSG(restored.aggregate_weighted(ok.views, std::nullopt, std::nullopt),
                   "Invalid norm bound: -1 (must be finite and > 0)");
}

TEST(Round, CoordinateMethodsWithNothingToFilterStillReportValuesFirst) {
  // Without a norm bound or ban, FedAvg checks the values after its kernel and the median and
  // trimmed mean while they load them; every later failure must still lose to a non-finite
  // value, wherever it sits.
  const Ids two = {"a", "b"};
  for (auto method : {AggregationMethod::median(), AggregationMethod::trimmed_mean()}) {
    auto agg = make(method);
    for (float bad : {std::nanf(""), -std::numeric_limits<float>::infinity()}) {
      Updates u = constant_updates({1, 2, 3, 4}, 3, 40);
      u.at(2, 2, 39) = bad;
      u.at(3, 0, 0) = std::nanf("");
      const std::string msg = "Non-finite value " + std::string(std::isnan(bad) ? "NaN" : "-inf") +
                              " in update 2 at [2, 39]";
      EXPECT_ERROR_MSG(agg.aggregate_weighted(u.views, std::nullopt, std::nullopt), msg);
      EXPECT_ERROR_MSG(
          agg.aggregate_weighted(u.views, std::span<const std::string_view>(two), std::nullopt),
          msg);
    }
  }
  auto fed = make(AggregationMethod::fed_avg());
  const std::vector<float> zero_sum = {1.0f, -1.0f, 0.0f}, short_w = {1.0f}, ok_w = {0.0f, 1.0f, 1.0f};
  for (float bad : {std::nanf(""), std::numeric_limits<float>::infinity()}) {
    Updates u = constant_updates({1, 2, 3});
    u.at(1, 1, 1) = bad;
    const std::string msg = "Non-finite value " + std::string(std::isnan(bad) ? "NaN" : "inf") +
                            " in update 1 at [1, 1]";
    EXPECT_ERROR_MSG(fed.aggregate_weighted(u.views, std::nullopt, std::nullopt), msg);
    EXPECT_ERROR_MSG(fed.aggregate_weighted(u.views, std::span<const std::string_view>(two), std::nullopt), msg);
    EXPECT_ERROR_MSG(fed.aggregate_weighted(u.views, std::nullopt, std::span<const float>(short_w)), msg);
    EXPECT_ERROR_MSG(fed.aggregate_weighted(u.views, std::nullopt, std::span<const float>(zero_sum)), msg);
    // A zero weight on the bad update must not hide it either (inf * 0 is NaN, 0 * NaN too).
    u.data[0][4] = bad;
    u.data[1][4] = 0.0f;
    EXPECT_ERROR_MSG(fed.aggregate_weighted(u.views, std::nullopt, std::span<const float>(ok_w)),
                     "Non-finite value " + std::string(std::isnan(bad) ? "NaN" : "inf") +
                         " in update 0 at [1, 1]");
  }
}

TEST(Round, KrumAndMultiKrumQuorumEdges) {
  auto krum = make(AggregationMethod::krum(1));
  Updates four = constant_updates({1, 2, 3, 4});
  EXPECT_ERROR_MSG(krum.aggregate_weighted(four.views, std::nullopt, std::nullopt),
                   "Insufficient quorum: need 5, got 4");
  // One shared exponent for the cluster (mantissas 20480, 24576, 28672, 32767): with k = 2,
  // 1.75 has the smallest sum of its two nearest squared distances.
  Updates five = constant_updates({1.25f, 1.5f, 1.75f, 2.0f, 50.0f});
  auto r = krum.aggregate_weighted(five.views, std::nullopt, std::nullopt);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->at(1, 2), 1.75f);
  auto huge = make(AggregationMethod::krum(UINT64_MAX / 2));
  EXPECT_ERROR_MSG(huge.aggregate_weighted(five.views, std::nullopt, std::nullopt),
                   "Insufficient quorum: need 18446744073709551615, got 5");

  Updates seven = constant_updates({1, 2, 3, 4, 5, 6, 7});
  auto mk_default = make(AggregationMethod::multi_krum(1, std::nullopt));
  audit::RoundAudit audit;
  ASSERT_TRUE(mk_default.aggregate_weighted(seven.views, std::nullopt, std::nullopt, &audit).ok());
  const auto* rec = std::get_if<audit::record::MultiKrum>(&audit.method);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->selected_m, 3u);
  EXPECT_EQ(rec->requested_m, std::nullopt);
  for (uint64_t m : {4, 0}) {
    EXPECT_ERROR_MSG(make(AggregationMethod::multi_krum(1, m)).aggregate_weighted(seven.views, std::nullopt, std::nullopt),
                     "Multi-Krum selection m=" + std::to_string(m) +
                         " exceeds the safe maximum 3 for 7 clients with f=1 (requires 1 <= m <= n - 2f - 2)");
  }
  ASSERT_TRUE(mk_default.aggregate_weighted(five.views, std::nullopt, std::nullopt, &audit).ok());
  EXPECT_EQ(std::get<audit::record::MultiKrum>(audit.method).selected_m, 1u);
  EXPECT_ERROR_MSG(mk_default.aggregate_weighted(four.views, std::nullopt, std::nullopt),
                   "Insufficient quorum: need 5, got 4");
}

TEST(Round, MultiKrumMeanAddsSelectedUpdatesInSelectionOrder) {
  // Five clients sharing one exponent and two outliers; with k = 4 the best three scores are
  // 1.75, 1.5 and 1.875, in that order.
  Updates u = constant_updates({1.25f, 1.5f, 1.75f, 1.875f, 2.0f, 50.0f, -40.0f});
  auto mk = make(AggregationMethod::multi_krum(1, 3));
  auto r = mk.aggregate_weighted(u.views, std::nullopt, std::nullopt);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->at(1, 2), ((1.75f + 1.5f) + 1.875f) / 3.0f);
}

TEST(Round, BanAndNormFilteringTogether) {
  auto agg = make(AggregationMethod::fed_avg(), 0.1f, /*ban=*/0.6f, false, /*bound=*/5.0f);
  ASSERT_TRUE(agg.reputation().set_score("trusted", 0.9f).ok());
  ASSERT_TRUE(agg.reputation().set_score("huge", 0.9f).ok());
  ASSERT_TRUE(agg.reputation().set_score("edge", 0.9f).ok());
  // 1x2 updates: (3, 4) has norm exactly 5 and is kept; (30, 40) exceeds; the unknown client
  // reads 0.5 < 0.6 and is excluded without being norm-checked or stored.
  Updates u(4, 1, 2);
  u.data = {{1, 1}, {30, 40}, {3, 4}, {1e30f, 1e30f}};
  u.refresh();
  const Ids ids = {"trusted", "huge", "edge", "stranger"};
  audit::RoundAudit audit;
  auto r = agg.aggregate_weighted(u.views, std::span<const std::string_view>(ids), std::nullopt,
                                  &audit);
  ASSERT_TRUE(r.ok());
  const auto& decisions = audit.decisions;
  EXPECT_TRUE(std::holds_alternative<audit::Admitted>(decisions[0].verdict));
  const auto* rej = std::get_if<audit::RejectedByNormBound>(&decisions[1].verdict);
  ASSERT_NE(rej, nullptr);
  EXPECT_EQ(rej->norm, 50.0);
  EXPECT_TRUE(std::holds_alternative<audit::Admitted>(decisions[2].verdict));
  const auto* ex = std::get_if<audit::ExcludedByReputation>(&decisions[3].verdict);
  ASSERT_NE(ex, nullptr);
  EXPECT_EQ(ex->score, 0.5f);
  EXPECT_EQ(ex->threshold, 0.6f);
  EXPECT_EQ(decisions[3].client_id, "stranger");
  EXPECT_EQ(r->at(0, 0), 2.0f);
  EXPECT_EQ(r->at(0, 1), 2.5f);
  EXPECT_EQ(agg.reputation().all_scores().count("stranger"), 0u);

  // Everything turned away: the count is of submitted updates.
  Updates bad(3, 1, 2);
  bad.data = {{30, 40}, {30, 40}, {1, 1}};
  bad.refresh();
  const Ids ids3 = {"huge", "huge", "nobody"};
  EXPECT_ERROR_MSG(agg.aggregate_weighted(bad.views, std::span<const std::string_view>(ids3),
                                          std::nullopt, &audit),
                   "all 3 submitted updates were rejected");
  // The refused round's audit: its decisions, and a record that carries the configuration but
  // nothing the round would have chosen.
  ASSERT_EQ(audit.decisions.size(), 3u);
  EXPECT_TRUE(std::holds_alternative<audit::RejectedByNormBound>(audit.decisions[1].verdict));
  EXPECT_TRUE(std::holds_alternative<audit::ExcludedByReputation>(audit.decisions[2].verdict));
  EXPECT_TRUE(std::holds_alternative<audit::record::FedAvg>(audit.method));
  auto mk = make(AggregationMethod::multi_krum(2, 5), 0.1f, 0.0f, false, 1.0f);
  EXPECT_ERROR_MSG(mk.aggregate_weighted(bad.views, std::nullopt, std::nullopt, &audit),
                   "all 3 submitted updates were rejected");
  EXPECT_EQ(std::get<audit::record::MultiKrum>(audit.method).requested_m, 5u);
  EXPECT_FALSE(std::get<audit::record::MultiKrum>(audit.method).selected_m.has_value());
  EXPECT_FALSE(audit.decisions[0].client_id.has_value());
}

TEST(Round, ZeroThresholdAndMissingIdsExcludeNobody) {
  auto agg = make(AggregationMethod::median(), 0.1f, 0.0f);
  ASSERT_TRUE(agg.reputation().set_score("zero", 0.0f).ok());
  Updates u = constant_updates({1, 2, 3});
  const Ids ids = {"zero", "zero", "zero"};
  audit::RoundAudit audit;
  ASSERT_TRUE(
      agg.aggregate_weighted(u.views, std::span<const std::string_view>(ids), std::nullopt, &audit)
          .ok());
  for (const auto& d : audit.decisions) EXPECT_TRUE(std::holds_alternative<audit::Admitted>(d.verdict));

  auto banning = make(AggregationMethod::median(), 0.1f, 1.0f);
  ASSERT_TRUE(banning.aggregate_weighted(u.views, std::nullopt, std::nullopt).ok());
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
  const Ids ids = {"new", "top", "twice", "middle", "low", "twice", "edge"};
  ASSERT_TRUE(agg.aggregate_weighted(u.views, std::span<const std::string_view>(ids), std::nullopt).ok());
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
  Updates u = constant_updates({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  audit::RoundAudit audit;
  auto r = agg.aggregate_weighted(u.views, std::nullopt, std::nullopt, &audit);
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
  EXPECT_ERROR_MSG(nan_trim.aggregate_weighted(u.views, std::nullopt, std::nullopt),
                   "Invalid trim fraction: NaN (must be 0.0-0.5)");
}

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
  if (err == nullptr) {
    ADD_FAILURE() << "read succeeded: " << text;
    return "";
  }
  const size_t at = err->rfind(" at line ");
  const size_t col = err->rfind(" column ");
  auto digits = [](std::string_view t) {
    return !t.empty() && t.find_first_not_of("0123456789") == std::string_view::npos;
  };
  const std::string_view text_view(*err);
  if (at == std::string::npos || col == std::string::npos || col < at ||
      !digits(text_view.substr(at + 9, col - at - 9)) || !digits(text_view.substr(col + 8))) {
    ADD_FAILURE() << "no position suffix: " << *err;
    return *err;
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

float trim(std::vector<float> scores, float base) {
  return aggregators::compute_adaptive_trim(scores, 0.4f, 0.05f, base);
}

TEST(AdaptiveTrim, WidensByTheLowScoredShareClampedToBaseAnd049) {
  EXPECT_EQ(trim({0.1f, 0.3f, 0.9f, 0.9f}, 0.1f), 0.49f);
  EXPECT_EQ(trim(std::vector<float>(10, 0.9f), 0.2f), 0.2f);
  EXPECT_EQ(trim({0.39f, 0.41f}, 0.0f), 0.49f);
  std::vector<float> twenty(20, 0.8f);
  twenty[7] = 0.1f;
  EXPECT_EQ(trim(twenty, 0.05f), 0.05f + 1.0f / 20.0f);  // float arithmetic: 0.1 as computed
  // Exactly the threshold, and NaN, count as trusted.
  EXPECT_EQ(trim({0.4f, std::nanf(""), 0.9f, 0.9f}, 0.0f), 0.05f);
  std::vector<float> ten(10, 0.9f);
  ten[0] = 0.0f;
  EXPECT_EQ(trim(ten, 0.0f), 0.05f + 0.1f);
}

TEST(AdaptiveTrim, EmptyStoreAndUnclampableBaseReturnTheBase) {
  EXPECT_EQ(trim({}, 0.3f), 0.3f);
  EXPECT_EQ(trim({}, 0.7f), 0.7f);
  EXPECT_TRUE(std::isnan(trim({}, std::nanf(""))));
  // Base above 0.49 or NaN with scores present: no valid clamp, the base goes back unchanged so
  // the trimmed-mean kernel reports it.
  EXPECT_EQ(trim({0.1f, 0.9f}, 0.6f), 0.6f);
  EXPECT_EQ(trim({0.9f}, 0.5f), 0.5f);
  EXPECT_TRUE(std::isnan(trim({0.1f, 0.9f}, std::nanf(""))));
  EXPECT_EQ(trim({0.1f}, 0.49f), 0.49f);
}

}  // namespace
}  // namespace fenro::pipeline
