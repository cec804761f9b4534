#include "fenro/aggregators/aggregator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "test_util.h"

namespace fenro::aggregators {
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

TEST(Round, KrumAndMultiKrumQuorumEdges) {
  auto krum = make(AggregationMethod::krum(1));
  Updates four = constant_updates({1, 2, 3, 4});
  EXPECT_ERROR_MSG(krum.aggregate_weighted(four.views, std::nullopt, std::nullopt),
                   "Insufficient quorum: need 5, got 4");
  // One shared exponent for the cluster (mantissas 20480, 24576, 28672, 32767): with k = 2,
  // 1.75 has the smallest sum of its two nearest squared distances.
  Updates five = constant_updates({1.25f, 1.5f, 1.75f, 2.0f, 50.0f});
  auto r = krum.run(five.views, std::nullopt, std::nullopt);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->aggregate.at(1, 2), 1.75f);
  auto huge = make(AggregationMethod::krum(UINT64_MAX / 2));
  EXPECT_ERROR_MSG(huge.aggregate_weighted(five.views, std::nullopt, std::nullopt),
                   "Insufficient quorum: need 18446744073709551615, got 5");

  Updates seven = constant_updates({1, 2, 3, 4, 5, 6, 7});
  auto mk_default = make(AggregationMethod::multi_krum(1, std::nullopt));
  auto out = mk_default.run(seven.views, std::nullopt, std::nullopt);
  ASSERT_TRUE(out.ok());
  const auto* rec = std::get_if<audit::record::MultiKrum>(&out->method);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->selected_m, 3u);
  EXPECT_EQ(rec->requested_m, std::nullopt);
  EXPECT_ERROR_MSG(make(AggregationMethod::multi_krum(1, 4)).aggregate_weighted(seven.views, std::nullopt, std::nullopt),
                   "Multi-Krum selection m=4 exceeds the safe maximum 3 for 7 clients with f=1 "
                   "(requires 1 <= m <= n - 2f - 2)");
  EXPECT_ERROR_MSG(make(AggregationMethod::multi_krum(1, 0)).aggregate_weighted(seven.views, std::nullopt, std::nullopt),
                   "Multi-Krum selection m=0 exceeds the safe maximum 3 for 7 clients with f=1 "
                   "(requires 1 <= m <= n - 2f - 2)");
  auto five_default = mk_default.run(five.views, std::nullopt, std::nullopt);
  ASSERT_TRUE(five_default.ok());
  EXPECT_EQ(std::get<audit::record::MultiKrum>(five_default->method).selected_m, 1u);
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
  auto r = agg.run(u.views, std::span<const std::string_view>(ids), std::nullopt);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(std::holds_alternative<audit::Admitted>(r->decisions[0].verdict));
  const auto* rej = std::get_if<audit::RejectedByNormBound>(&r->decisions[1].verdict);
  ASSERT_NE(rej, nullptr);
  EXPECT_EQ(rej->norm, 50.0);
  EXPECT_TRUE(std::holds_alternative<audit::Admitted>(r->decisions[2].verdict));
  const auto* ex = std::get_if<audit::ExcludedByReputation>(&r->decisions[3].verdict);
  ASSERT_NE(ex, nullptr);
  EXPECT_EQ(ex->score, 0.5f);
  EXPECT_EQ(ex->threshold, 0.6f);
  EXPECT_EQ(r->decisions[3].client_id, "stranger");
  EXPECT_EQ(r->aggregate.at(0, 0), 2.0f);
  EXPECT_EQ(r->aggregate.at(0, 1), 2.5f);
  EXPECT_EQ(agg.reputation().all_scores().count("stranger"), 0u);

  // Everything turned away: the count is of submitted updates.
  Updates bad(3, 1, 2);
  bad.data = {{30, 40}, {30, 40}, {1, 1}};
  bad.refresh();
  const Ids ids3 = {"huge", "huge", "nobody"};
  EXPECT_ERROR_MSG(agg.aggregate_weighted(bad.views, std::span<const std::string_view>(ids3),
                                          std::nullopt),
                   "all 3 submitted updates were rejected");
}

TEST(Round, ZeroThresholdAndMissingIdsExcludeNobody) {
  auto agg = make(AggregationMethod::median(), 0.1f, 0.0f);
  ASSERT_TRUE(agg.reputation().set_score("zero", 0.0f).ok());
  Updates u = constant_updates({1, 2, 3});
  const Ids ids = {"zero", "zero", "zero"};
  auto r = agg.run(u.views, std::span<const std::string_view>(ids), std::nullopt);
  ASSERT_TRUE(r.ok());
  for (const auto& d : r->decisions) EXPECT_TRUE(std::holds_alternative<audit::Admitted>(d.verdict));

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
  auto r = agg.run(u.views, std::nullopt, std::nullopt);
  ASSERT_TRUE(r.ok());
  const auto& rec = std::get<audit::record::TrimmedMean>(r->method);
  EXPECT_EQ(rec.configured_trim, 0.1f);
  EXPECT_EQ(rec.effective_trim, 0.05f + 1.0f / 5.0f);  // 0.25: k = 3 of 10
  EXPECT_TRUE(rec.adaptive);
  EXPECT_EQ(r->aggregate.at(0, 0), (4.0f + 5.0f + 6.0f + 7.0f) / 4.0f);

  // A restored NaN fraction reaches the kernel, which names it.
  auto nan_trim = ByzantineAggregator::restore(AggregationMethod::trimmed_mean(), std::nanf(""),
                                               {}, 0.0f, true, std::nullopt);
  ASSERT_TRUE(nan_trim.reputation().set_score("x", 0.1f).ok());
  EXPECT_ERROR_MSG(nan_trim.aggregate_weighted(u.views, std::nullopt, std::nullopt),
                   "Invalid trim fraction: NaN (must be 0.0-0.5)");
}

}  // namespace
}  // namespace fenro::aggregators
