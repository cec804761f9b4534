// The round over updates cut into coordinate ranges (ShardedRoundData, which joins per-range
// passes as a distributed round does) must leave exactly what the in-memory round leaves: the
// aggregate's bits, the error text, the audit and the reputation store.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "fenro/aggregators/bulyan.h"
#include "fenro/aggregators/centered_clipping.h"
#include "fenro/aggregators/fedavg.h"
#include "fenro/aggregators/geometric_median.h"
#include "fenro/aggregators/meamed.h"
#include "fenro/aggregators/median.h"
#include "fenro/aggregators/trimmed_mean.h"
#include "fenro/math/distances.h"
#include "fenro/parallel/pool.h"
#include "fenro/pipeline/aggregator.h"
#include "pipeline/sharded_round_data.h"
#include "test_util.h"

namespace fenro::pipeline {
namespace {

using testing::bits_of;
using testing::ShardedRoundData;
using testing::Updates;

// Concatenation by appending: GCC 12 misreads `"text" + std::string` under -Wrestrict.
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string s;
  ((s += parts), ...);
  return s;
}

using M = AggregationMethod;

struct Config {
  AggregationMethod method;
  float trim = 0.2f;
  float ban = 0.0f;
  bool adaptive = false;
  std::optional<float> bound = std::nullopt;
  bool ids = false;
  bool weights = false;
};

struct Inputs {
  Updates updates;
  std::optional<std::vector<std::string>> ids;
  std::optional<std::vector<float>> weights;
};

ByzantineAggregator make(const Config& c) {
  auto r = ByzantineAggregator::create(c.method, c.trim, c.ban, c.adaptive, c.bound);
  EXPECT_TRUE(r.ok());
  return std::move(r).value();
}

// Honest updates lie close together (well within a distance of 1 of any aggregate of them);
// every fourth comes from a Byzantine client, far off and far above the norm bound of 20; the
// last two repeat update 0 (a tie for Krum) and its client (two distances for one client).
Inputs make_inputs(size_t n, size_t rows, size_t cols, const Config& c, std::mt19937& rng) {
  Inputs in{Updates(n, rows, cols), std::nullopt, std::nullopt};
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::vector<float> base(rows * cols);
  for (float& x : base) x = unit(rng);
  for (size_t k = 0; k < n; ++k) {
    for (size_t t = 0; t < base.size(); ++t) {
      in.updates.data[k][t] = k % 4 == 3 ? 30.0f * unit(rng) : base[t] + 0.02f * unit(rng);
    }
  }
  in.updates.data[n - 1] = in.updates.data[0];
  in.updates.refresh();
  if (c.ids) {
    in.ids.emplace();
    for (size_t k = 0; k < n; ++k) in.ids->push_back(cat("c", std::to_string(k)));
    in.ids->back() = in.ids->front();
  }
  if (c.weights) {
    std::uniform_real_distribution<float> w(0.1f, 2.0f);
    in.weights.emplace();
    for (size_t k = 0; k < n; ++k) in.weights->push_back(w(rng));
  }
  return in;
}

// 1 to 5 ranges with cuts anywhere, empty ranges included.
std::vector<size_t> random_cuts(size_t d, std::mt19937& rng) {
  std::vector<size_t> cuts = {0, d};
  const size_t ranges = std::uniform_int_distribution<size_t>(1, 5)(rng);
  for (size_t s = 1; s < ranges; ++s)
    cuts.push_back(std::uniform_int_distribution<size_t>(0, d)(rng));
  std::sort(cuts.begin(), cuts.end());
  return cuts;
}

std::string hex(double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%a", x);
  return buf;
}

template <class T>
std::string text(const std::optional<T>& v) {
  if (!v) return "-";
  if constexpr (std::is_floating_point_v<T>)
    return hex(*v);
  else
    return std::to_string(*v);
}

// Everything an audit holds, floats to the bit.
std::string describe(const audit::RoundAudit& a) {
  std::string s = cat("method ", std::to_string(a.method.index()));
  if (const auto* t = std::get_if<audit::record::TrimmedMean>(&a.method)) {
    s += cat(" ", hex(t->configured_trim), " ", text(t->effective_trim),
             t->adaptive ? " adaptive" : "");
  } else if (const auto* k = std::get_if<audit::record::Krum>(&a.method)) {
    s += cat(" f=", std::to_string(k->f));
  } else if (const auto* mk = std::get_if<audit::record::MultiKrum>(&a.method)) {
    s += cat(" f=", std::to_string(mk->f), " m=", text(mk->requested_m),
             " selected=", text(mk->selected_m));
  }
  for (const auto& d : a.decisions) {
    s += cat("\n", std::to_string(d.index), " ", d.client_id.value_or("-"), " ");
    if (const auto* ex = std::get_if<audit::ExcludedByReputation>(&d.verdict)) {
      s += cat("excluded ", hex(ex->score), " ", hex(ex->threshold));
    } else if (const auto* rej = std::get_if<audit::RejectedByNormBound>(&d.verdict)) {
      s += cat("rejected ", hex(rej->bound), " ", hex(rej->norm));
    } else {
      s += "admitted";
    }
  }
  return s;
}

// What a round leaves behind.
struct Outcome {
  std::string error;
  std::vector<uint32_t> aggregate;
  std::string audit;
  std::string json;
  size_t rejected = 0;  // updates the audit says the norm bound rejected
};

// One round on the in-memory updates, or, with `cuts`, on their ranges. The audit starts as a
// marker, which a failing round must leave alone.
Outcome run(ByzantineAggregator& agg, const Inputs& in, const std::vector<size_t>* cuts,
            ShardedRoundData* data = nullptr) {
  std::vector<std::string_view> id_views;
  std::optional<std::span<const std::string_view>> ids;
  if (in.ids) {
    id_views.assign(in.ids->begin(), in.ids->end());
    ids = id_views;
  }
  std::optional<std::span<const float>> weights;
  if (in.weights) weights = *in.weights;
  audit::RoundAudit audit{audit::record::Krum{77}, {}};
  Outcome out;
  Matrix aggregate;
  Status status;
  if (cuts == nullptr) {
    auto r = agg.aggregate_weighted(in.updates.views, ids, weights, &audit);
    if (r.ok()) aggregate = std::move(r).value();
    if (!r.ok()) status = std::move(r).error();
  } else {
    std::optional<ShardedRoundData> own;
    if (data == nullptr) data = &own.emplace(in.updates.views, *cuts);
    status = agg.run_round(*data, ids, weights, &audit);
    if (status.ok()) aggregate = data->assembled();
  }
  if (!status.ok()) out.error = status.error().message();
  for (size_t t = 0; t < aggregate.size(); ++t)
    out.aggregate.push_back(bits_of(aggregate.data()[t]));
  out.audit = describe(audit);
  out.json = agg.to_json();
  for (const auto& d : audit.decisions)
    out.rejected += std::holds_alternative<audit::RejectedByNormBound>(d.verdict);
  return out;
}

void expect_same(const Outcome& local, const Outcome& sharded) {
  EXPECT_EQ(sharded.error, local.error);
  EXPECT_EQ(sharded.aggregate, local.aggregate);
  EXPECT_EQ(sharded.audit, local.audit);
  EXPECT_EQ(sharded.json, local.json);
}

// Runs `rounds` rounds of fresh inputs on two aggregators configured alike, one in memory and
// one on random cuts, and compares what every round leaves. Returns the last outcome.
template <class Mutate>
Outcome compare_rounds(const Config& c, size_t n, size_t rows, size_t cols, uint32_t seed,
                       int rounds, const Mutate& mutate) {
  SCOPED_TRACE(cat("seed ", std::to_string(seed)));
  std::mt19937 rng(seed);
  ByzantineAggregator local = make(c), sharded = make(c);
  Outcome last;
  for (int round = 0; round < rounds; ++round) {
    Inputs in = make_inputs(n, rows, cols, c, rng);
    mutate(in);
    const std::vector<size_t> cuts = random_cuts(in.updates.views[0].size(), rng);
    SCOPED_TRACE(
        cat("round ", std::to_string(round), ", ", std::to_string(cuts.size() - 1), " ranges"));
    ShardedRoundData data(in.updates.views, cuts);
    last = run(local, in, nullptr);
    expect_same(last, run(sharded, in, &cuts, &data));
    // The chain runs for the norms that the audit keeps and nothing else: every other
    // comparison of these inputs is decided by the bounds.
    if (last.error.empty()) {
      EXPECT_EQ(data.chained(), last.rejected);
    }
  }
  return last;
}

// clang-format off
const std::pair<const char*, Config> kConfigs[] = {
    {"fedavg", {.method = M::fed_avg()}},
    {"fedavg weighted, ids, bound",
     {.method = M::fed_avg(), .bound = 20.0f, .ids = true, .weights = true}},
    {"fedavg, ids, ban", {.method = M::fed_avg(), .ban = 0.45f, .ids = true}},
    {"trimmed mean", {.method = M::trimmed_mean()}},
    {"trimmed mean adaptive, ban, bound",
     {.method = M::trimmed_mean(), .trim = 0.1f, .ban = 0.45f, .adaptive = true, .bound = 20.0f,
      .ids = true}},
    {"median, ids", {.method = M::median(), .ids = true}},
    {"median, bound", {.method = M::median(), .bound = 20.0f}},
    {"krum", {.method = M::krum(1)}},
    {"krum, ids, ban, bound", {.method = M::krum(1), .ban = 0.45f, .bound = 20.0f, .ids = true}},
    {"multi-krum, ids", {.method = M::multi_krum(1, std::nullopt), .ids = true}},
    {"multi-krum m, ban, bound",
     {.method = M::multi_krum(1, 3), .ban = 0.45f, .bound = 20.0f, .ids = true}},
};
// clang-format on

TEST(ShardedRound, EveryMethodAndFilterLeavesWhatTheLocalRoundLeaves) {
  const auto unchanged = [](Inputs&) {};
  for (size_t threads = 1; threads <= 3; ++threads) {
    parallel::reset_pool_for_testing(threads);
    for (const auto& [name, c] : kConfigs) {
      SCOPED_TRACE(name);
      // Shapes whose sizes leave SIMD and block remainders; three rounds let penalties ban
      // the Byzantine clients and move the adaptive trim.
      (void)compare_rounds(c, 12, 3, 23, 10 + static_cast<uint32_t>(threads), 3, unchanged);
      (void)compare_rounds(c, 9, 1, 70, 20 + static_cast<uint32_t>(threads), 3, unchanged);
    }
  }
}

TEST(ShardedRound, ErrorsComeInTheLocalOrderWithTheLocalText) {
  constexpr size_t kRows = 3, kCols = 23, kD = kRows * kCols;
  auto at = [](Inputs& in, size_t k, size_t c) -> float& { return in.updates.data[k][c]; };
  // Non-finite values in several ranges: update 2's first is in the middle, the next in its
  // last coordinate; update 4's in its first.
  auto non_finite = [&](Inputs& in) {
    at(in, 2, kD / 2) = INFINITY;
    at(in, 2, kD - 1) = NAN;
    at(in, 4, 0) = NAN;
  };
  const std::string first_bad = "Non-finite value inf in update 2 at [1, 11]";
  auto mismatch = [](Inputs& in) { in.updates.views[4].cols = kCols - 1; };
  struct Case {
    const char* name;
    Config config;
    std::function<void(Inputs&)> mutate;
    std::string message;  // the beginning of the expected message
  };
  const auto none = [](Inputs&) {};
  // clang-format off
  const Case cases[] = {
      {"non-finite, scan owed", {.method = M::median()}, non_finite, first_bad},
      {"non-finite, then an id count", {.method = M::fed_avg(), .ids = true},
       [&](Inputs& in) { non_finite(in); in.ids->pop_back(); }, first_bad},
      {"non-finite, norm pass", {.method = M::trimmed_mean(), .bound = 20.0f}, non_finite,
       first_bad},
      {"non-finite, scan pass", {.method = M::krum(1)}, non_finite, first_bad},
      {"non-finite, then a zero weight sum", {.method = M::fed_avg(), .weights = true},
       [&](Inputs& in) { non_finite(in); std::fill(in.weights->begin(), in.weights->end(), 0.0f); },
       first_bad},
      {"non-finite before a mismatch", {.method = M::median()},
       [&](Inputs& in) { mismatch(in); at(in, 2, kD - 1) = NAN; },
       "Non-finite value NaN in update 2 at [2, 22]"},
      {"mismatch before non-finite", {.method = M::multi_krum(1, 2)},
       [&](Inputs& in) { mismatch(in); at(in, 5, 0) = NAN; }, "Dimension mismatch in updates"},
      {"mismatch with a bound", {.method = M::fed_avg(), .bound = 20.0f}, mismatch,
       "Dimension mismatch in updates"},
      {"krum quorum", {.method = M::krum(4)}, none, "Insufficient quorum: need 11, got 9"},
      {"krum quorum after the bound", {.method = M::krum(3), .bound = 20.0f}, none,
       "Insufficient quorum: need 9, got 7"},
      {"multi-krum m", {.method = M::multi_krum(1, 6)}, none, "Multi-Krum selection m=6"},
      {"trimmed mean quorum", {.method = M::trimmed_mean(), .trim = 0.5f}, none,
       "Insufficient quorum: need 1, got 0"},
      {"zero weight sum", {.method = M::fed_avg(), .ids = true, .weights = true},
       [](Inputs& in) { std::fill(in.weights->begin(), in.weights->end(), 0.0f); },
       "Insufficient quorum: need 1, got 0"},
      {"all rejected", {.method = M::multi_krum(1, 2), .bound = 0.5f, .ids = true}, none,
       "all 9 submitted updates were rejected"},
      // Weights 1 and -0.999 on +-3e38 and nothing on the rest: the weighted mean overflows
      // float32 and the aggregate is infinite.
      {"non-finite reputation distance", {.method = M::fed_avg(), .ids = true, .weights = true},
       [](Inputs& in) {
         std::fill(in.weights->begin(), in.weights->end(), 0.0f);
         (*in.weights)[0] = 1.0f;
         (*in.weights)[1] = -0.999f;
         std::fill(in.updates.data[0].begin(), in.updates.data[0].end(), 3e38f);
         std::fill(in.updates.data[1].begin(), in.updates.data[1].end(), -3e38f);
       },
       "non-finite reputation distance inf for client c0"},
  };
  // clang-format on
  for (size_t threads = 1; threads <= 3; ++threads) {
    parallel::reset_pool_for_testing(threads);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      for (uint32_t seed = 0; seed < 4; ++seed) {
        const Outcome last = compare_rounds(c.config, 9, kRows, kCols, seed, 1, c.mutate);
        EXPECT_EQ(last.error.substr(0, c.message.size()), c.message);
      }
    }
  }
}

// Inputs whose norm or distance sits exactly on a threshold: the bounds cannot decide, and the
// chained sum, with the sequential bits, must.
TEST(ShardedRound, ValuesOnAThresholdAreSettledByTheChain) {
  for (size_t threads = 1; threads <= 3; ++threads) {
    parallel::reset_pool_for_testing(threads);
    // Norms 2 (within the bound 2, equal passes) and 3 (rejected, and kept in the audit).
    const Config bounded{.method = M::fed_avg(), .bound = 2.0f};
    Inputs on_bound{Updates(3, 2, 2), std::nullopt, std::nullopt};
    on_bound.updates.data = {{1, 1, 1, 1}, {1, -1, 1, -1}, {1.5f, 1.5f, 1.5f, 1.5f}};
    on_bound.updates.refresh();
    // Distances from the median 0: exactly 1 (not close), 10 (not far), 2 and 0.
    const Config median{.method = M::median(), .ids = true};
    Inputs on_distance{Updates(5, 2, 2), std::vector<std::string>{"a", "b", "c", "d", "e"},
                       std::nullopt};
    on_distance.updates.data = {
        {0, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 0, 0}, {0, 0, 10, 0}, {1, 1, 1, 1}};
    on_distance.updates.refresh();
    // The chain settles the two norms on the bound and the rejected one, or the two distances
    // on a threshold.
    const std::tuple<const Config*, const Inputs*, size_t> cases[] = {{&bounded, &on_bound, 3},
                                                                      {&median, &on_distance, 2}};
    for (const auto& [config, in, chained] : cases) {
      for (const std::vector<size_t>& cuts :
           {std::vector<size_t>{0, 2, 4}, std::vector<size_t>{0, 1, 3, 4}}) {
        ByzantineAggregator local = make(*config), sharded = make(*config);
        ShardedRoundData data(in->updates.views, cuts);
        const Outcome expected = run(local, *in, nullptr);
        ASSERT_EQ(expected.error, "");
        expect_same(expected, run(sharded, *in, &cuts, &data));
        EXPECT_EQ(data.chained(), chained);
      }
    }
  }
}

// A source that fails mid-round (a lost worker) fails the round with its error, and changes
// neither the store nor the caller's audit, whichever question it fails on.
TEST(ShardedRound, ASourceFailureChangesNothing) {
  const Config c{.method = M::multi_krum(1, 2), .ban = 0.45f, .bound = 20.0f, .ids = true};
  std::mt19937 rng(5);
  const Inputs in = make_inputs(9, 2, 5, c, rng);
  const std::vector<size_t> cuts = {0, 4, 10};
  ByzantineAggregator agg = make(c);
  ASSERT_TRUE(agg.reputation().set_score("c3", 0.1f).ok());
  const std::string before = agg.to_json();
  ShardedRoundData clean(in.updates.views, cuts);
  ByzantineAggregator probe = make(c);
  ASSERT_TRUE(probe.reputation().set_score("c3", 0.1f).ok());
  ASSERT_EQ(run(probe, in, &cuts, &clean).error, "");
  ASSERT_GE(clean.questions(), 4u);  // values, method scores, mean, distances
  for (size_t call = 0; call < clean.questions(); ++call) {
    ShardedRoundData data(in.updates.views, cuts);
    data.fail_at(call, error::ArrayShape{"worker 1 lost"});
    const Outcome failed = run(agg, in, &cuts, &data);
    EXPECT_EQ(failed.error, "Array shape error: worker 1 lost") << call;
    EXPECT_EQ(failed.json, before);
    EXPECT_EQ(failed.audit, "method 3 f=77");
  }
}

// The stateless coordinate-wise rules on ranges give the functions' results and errors: the
// checks that read no value come after the first non-finite value, which is found across
// ranges in the functions' order.
TEST(ShardedRound, StatelessRulesMatchTheFunctions) {
  using K = RangeMethod;
  const std::vector<float> zero(7, 0.0f), uneven = {1, 0, 2, 1, 1, 3, 0.5f};
  struct Case {
    K method;
    std::optional<std::vector<float>> weights;
    float trim = 0.0f;
    uint64_t f = 0;
  };
  const Case cases[] = {{K::kFedAvg, std::nullopt, 0.0f, 0},
                        {K::kFedAvg, uneven, 0.0f, 0},
                        {K::kFedAvg, zero, 0.0f, 0},
                        {K::kTrimmedMean, std::nullopt, 0.2f, 0},
                        {K::kTrimmedMean, std::nullopt, 0.6f, 0},
                        {K::kMedian, std::nullopt, 0.0f, 0},
                        {K::kMeamed, std::nullopt, 0.0f, 2},
                        {K::kMeamed, std::nullopt, 0.0f, 4}};
  auto whole = [](const Case& c, std::span<const UpdateView> u) -> Result<Matrix> {
    switch (c.method) {
      case K::kFedAvg:
        return c.weights ? aggregators::fedavg(u, std::span<const float>(*c.weights))
                         : aggregators::fedavg(u, std::nullopt);
      case K::kTrimmedMean:
        return aggregators::trimmed_mean(u, c.trim);
      case K::kMeamed:
        return aggregators::meamed(u, c.f);
      case K::kMedian:
      case K::kAroundMedian:  // not a function of its own
        break;
    }
    return aggregators::median(u);
  };
  for (int bad = 0; bad < 3; ++bad) {
    testing::Updates in = testing::random_updates(7, 3, 5, 11 + bad);
    if (bad > 0) in.at(4, 2, 3) = NAN;        // in the last range
    if (bad > 1) in.at(2, 0, 1) = -INFINITY;  // an earlier update, the first range
    for (const Case& c : cases) {
      for (const std::vector<size_t>& cuts :
           {std::vector<size_t>{0, 15}, std::vector<size_t>{0, 4, 4, 11, 15}}) {
        testing::LocalRanges ranges(in.views, cuts);
        pipeline::ShardedRoundData data(std::vector<UpdateShape>(7, {3, 5}), cuts, ranges);
        RangeKernel k{c.method, {0, 1, 2, 3, 4, 5, 6}, c.weights, c.trim, false, c.f};
        const Status got = data.rule(k);
        const Result<Matrix> expected = whole(c, in.views);
        ASSERT_EQ(got.ok(), expected.ok()) << bad;
        if (!got.ok()) {
          EXPECT_EQ(got.error().message(), expected.error().message());
        } else {
          const Matrix got_all = ranges.assembled({3, 5});
          EXPECT_TRUE(testing::BitsEqual(got_all.data(), expected->data(), 15));
        }
      }
    }
  }
}

// The rules that need whole updates (Bulyan, the geometric median, centered clipping) give the
// functions' bits and data on every cut, including cuts that leave a range empty, with ties
// (repeated updates) and with weights that drop an update; a NaN is reported as the first
// non-finite value of the list.
TEST(ShardedRound, WholeUpdateRulesMatchTheFunctions) {
  const std::vector<std::vector<size_t>> all_cuts = {{0, 15}, {0, 4, 4, 11, 15}, {0, 1, 2, 15}};
  for (int variant = 0; variant < 3; ++variant) {
    testing::Updates in = testing::random_updates(11, 3, 5, 40 + variant);
    if (variant == 1) {
      for (size_t c = 0; c < 5; ++c) in.at(3, 1, c) = in.at(7, 1, c) = 0.25f;  // ties
      for (size_t r = 0; r < 3; ++r)
        for (size_t c = 0; c < 5; ++c) in.at(9, r, c) = in.at(8, r, c);  // equal updates
    }
    // In the last range; before the update that weight zero drops, so that its position in the
    // geometric median's list is its index.
    if (variant == 2) in.at(1, 2, 4) = NAN;
    std::vector<size_t> list(11);
    for (size_t k = 0; k < 11; ++k) list[k] = k;
    const std::vector<float> wf = {1, 2, 0, 1, 1, 3, 0.5f, 1, 1, 2, 1};
    std::vector<size_t> active;
    std::vector<double> w;
    for (size_t k = 0; k < 11; ++k) {
      if (wf[k] == 0.0f) continue;
      active.push_back(k);
      w.push_back(wf[k]);
    }
    for (const std::vector<size_t>& cuts : all_cuts) {
      SCOPED_TRACE(::testing::Message() << "variant " << variant << ", " << cuts.size() - 1
                                        << " ranges");
      auto check = [&](auto&& sharded, auto&& whole, auto&& same_data) {
        testing::LocalRanges ranges(in.views, cuts);
        pipeline::ShardedRoundData data(std::vector<UpdateShape>(11, {3, 5}), cuts, ranges);
        auto got = sharded(data);
        auto expected = whole();
        ASSERT_EQ(got.ok(), expected.ok());
        if (!got.ok()) {
          EXPECT_EQ(got.error().message(), expected.error().message());
          return;
        }
        EXPECT_TRUE(testing::BitsEqual(ranges.assembled({3, 5}).data(),
                                       expected->aggregate.data(), 15));
        same_data(*got, *expected);
      };
      check([&](auto& d) { return d.bulyan(list, 2); },
            [&] { return aggregators::bulyan(in.views, 2); },
            [](const auto& got, const auto& expected) { EXPECT_EQ(got, expected.selected); });
      check([&](auto& d) { return d.geometric_median(active, w, 1e-6, 1e-9, 50); },
            [&] {
              return aggregators::geometric_median(in.views, std::span<const float>(wf), 1e-6,
                                                   1e-9, 50);
            },
            [&](const auto& got, const auto& expected) {
              EXPECT_EQ(got.iterations, expected.iterations);
              EXPECT_EQ(got.objective, expected.objective);
            });
      check([&](auto& d) { return d.centered_clipping(list, 0.5, 3, true); },
            [&] { return aggregators::centered_clipping(in.views, 0.5, 3, std::nullopt); },
            [](const auto& got, const auto& expected) {
              EXPECT_EQ(got.distances, expected.distances);
              EXPECT_EQ(got.factors, expected.factors);
            });
      // Nearest-neighbour mixing's ranking.
      testing::LocalRanges ranges(in.views, cuts);
      pipeline::ShardedRoundData data(std::vector<UpdateShape>(11, {3, 5}), cuts, ranges);
      for (size_t k : {1, 8, 11}) {
        auto got = data.nearest(list, k);
        const auto expected = math::nearest_f64(in.views, k);
        ASSERT_EQ(got.ok(), expected.has_value());
        if (expected) {
          EXPECT_EQ(*got, *expected) << k;
        }
      }
    }
  }
}

}  // namespace
}  // namespace fenro::pipeline
