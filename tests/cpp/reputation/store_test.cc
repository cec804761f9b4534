#include "fenro/reputation/store.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "fenro/error/number_text.h"
#include "fenro/json/reader.h"
#include "test_util.h"

namespace fenro::reputation {
namespace {

using testing::bits_of;
using testing::float_of;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

ReputationStore read_ok(std::string_view text) {
  auto r = ReputationStore::from_json(text);
  if (auto* err = std::get_if<std::string>(&r)) {
    ADD_FAILURE() << text << ": " << *err;
    return {};
  }
  return std::get<ReputationStore>(std::move(r));
}

std::string read_error(std::string_view text) {
  auto r = ReputationStore::from_json(text);
  if (auto* err = std::get_if<std::string>(&r)) return *err;
  ADD_FAILURE() << "read succeeded: " << text;
  return {};
}

TEST(StoreOperations, CheckThenInsertDefaultAndSaturate) {
  ReputationStore store;
  EXPECT_EQ(store.get_score("x"), 0.5f);  // lookups never insert
  EXPECT_EQ(store.influence_weight("x"), 0.125f);
  EXPECT_TRUE(store.all_scores().empty());
  ASSERT_TRUE(store.reward("x", 0.0f).ok());
  EXPECT_EQ(store.to_json(), R"({"x":0.5})");
  ASSERT_TRUE(store.reward("x", 0.1f).ok());
  ASSERT_TRUE(store.penalize("y", 0.2f).ok());
  ASSERT_TRUE(store.reward("n", -0.0f).ok());
  ASSERT_TRUE(store.penalize("m", -0.0f).ok());
  EXPECT_EQ(store.scores_in_order(), (std::vector<float>{0.5f, 0.5f, 0.5f + 0.1f, 0.5f - 0.2f}));
  ASSERT_TRUE(store.reward("x", std::numeric_limits<float>::max()).ok());
  ASSERT_TRUE(store.penalize("y", 5.0f).ok());
  store.adjust_unchecked("n", -3.0f);  // the post-round update: same steps, no amount check
  store.adjust_unchecked("c", 0.05f);
  ASSERT_TRUE(store.set_score("z", -0.0f).ok());
  ASSERT_TRUE(store.set_score("o", 1.0f).ok());
  const std::string text = R"({"c":0.55,"m":0.5,"n":0.0,"o":1.0,"x":1.0,"y":0.0,"z":-0.0})";
  EXPECT_EQ(store.to_json(), text);

  // Every rejected value leaves the store as it was.
  for (const float bad : {1.5f, -0.1f, kNaN, kInf}) {
    EXPECT_ERROR_MSG(store.set_score("b", bad), "invalid reputation score " +
                                                    error::format_message_number(bad) +
                                                    "; expected a finite value in [0, 1]");
  }
  for (const float bad : {-0.01f, kNaN, kInf, -kInf}) {
    const std::string msg = "invalid reputation adjustment " + error::format_message_number(bad) +
                            "; expected a finite non-negative value";
    EXPECT_ERROR_MSG(store.reward("b", bad), msg);
    EXPECT_ERROR_MSG(store.penalize("x", bad), msg);
  }
  EXPECT_EQ(store.to_json(), text);
}

TEST(StoreBans, ThresholdIsInclusiveForActiveClients) {
  ReputationStore store;
  ASSERT_TRUE(store.set_score("b", 0.2f).ok());
  ASSERT_TRUE(store.set_score("a", 0.19f).ok());
  ASSERT_TRUE(store.set_score("c", 0.9f).ok());
  EXPECT_FALSE(store.is_banned("b", 0.2f));
  EXPECT_TRUE(store.is_banned("a", 0.2f));
  const auto active = store.active_clients(0.2f);
  ASSERT_EQ(active.size(), 2u);
  EXPECT_EQ(active[0], std::make_pair(std::string("b"), 0.2f));
  EXPECT_EQ(active[1], std::make_pair(std::string("c"), 0.9f));
}

TEST(StoreDecay, MovesEveryScoreTowardDefaultInThreeRoundedSteps) {
  ReputationStore store;
  ASSERT_TRUE(store.set_score("hi", 1.0f).ok());
  ASSERT_TRUE(store.set_score("lo", 0.0f).ok());
  ASSERT_TRUE(store.set_score("mid", 0.3f).ok());
  ASSERT_TRUE(store.decay_toward_default(0.02f).ok());
  EXPECT_EQ(store.get_score("hi"), 0.99f);
  EXPECT_EQ(store.get_score("lo"), 0.01f);
  float d = 0.5f - 0.3f;
  d = 0.02f * d;
  EXPECT_EQ(bits_of(store.get_score("mid")), bits_of(0.3f + d));

  const std::string before = store.to_json();
  EXPECT_ERROR_MSG(store.decay_toward_default(1.5f),
                   "invalid reputation decay factor 1.5; expected a finite value in [0, 1]");
  EXPECT_ERROR_MSG(store.decay_toward_default(kNaN),
                   "invalid reputation decay factor NaN; expected a finite value in [0, 1]");
  EXPECT_ERROR_MSG(store.decay_toward_default(-0.1f),
                   "invalid reputation decay factor -0.1; expected a finite value in [0, 1]");
  EXPECT_EQ(store.to_json(), before);
  ASSERT_TRUE(store.decay_toward_default(0.0f).ok());
  EXPECT_EQ(store.to_json(), before);
  ASSERT_TRUE(store.decay_toward_default(1.0f).ok());
  EXPECT_EQ(store.scores_in_order(), (std::vector<float>{0.5f, 0.5f, 0.5f}));
  ReputationStore empty;
  EXPECT_TRUE(empty.decay_toward_default(0.5f).ok());
  EXPECT_TRUE(empty.all_scores().empty());
}

TEST(StoreInfluence, IsTheCubeCappedAtPointEight) {
  ReputationStore store;
  ASSERT_TRUE(store.set_score("a", 1.0f).ok());
  ASSERT_TRUE(store.set_score("b", 0.6f).ok());
  ASSERT_TRUE(store.set_score("c", 0.9283178f).ok());
  ASSERT_TRUE(store.set_score("d", 0.9283177f).ok());
  EXPECT_EQ(store.influence_weight("a"), 0.8f);
  EXPECT_EQ(store.influence_weight("b"), 0.21600002f);
  EXPECT_EQ(bits_of(store.influence_weight("b")), bits_of(0.216f) + 1);
  EXPECT_EQ(store.influence_weight("c"), 0.8f);
  EXPECT_LT(store.influence_weight("d"), 0.8f);
}

TEST(StoreOrder, IdsAreOrderedByteWiseWithNulsAllowed) {
  ReputationStore store;
  for (const std::string& id : std::vector<std::string>{"b", "ab", "a", "B", "\xC3\xA9", "z",
                                                       std::string("a\0b", 3),
                                                       std::string("a\0", 2)}) {
    ASSERT_TRUE(store.set_score(id, 0.25f).ok());
  }
  std::vector<std::string> ids;
  for (const auto& entry : store.all_scores()) ids.push_back(entry.first);
  EXPECT_EQ(ids, (std::vector<std::string>{"B", "a", std::string("a\0", 2),
                                           std::string("a\0b", 3), "ab", "b", "z",
                                           "\xC3\xA9"}));
  EXPECT_EQ(store.get_score(std::string_view("a\0b", 3)), 0.25f);
  EXPECT_EQ(store.get_score(std::string_view("a\0c", 3)), 0.5f);
  store.reset();
  EXPECT_TRUE(store.all_scores().empty());
  EXPECT_EQ(store.to_json(), "{}");
}

TEST(StoreWriting, MatchesTheCanonicalText) {
  const auto text = [](std::vector<std::pair<std::string, float>> entries) {
    ReputationStore store;
    for (const auto& [id, s] : entries) EXPECT_TRUE(store.set_score(id, s).ok());
    return store.to_json();
  };
  EXPECT_EQ(text({}), "{}");
  EXPECT_EQ(text({{"b", 1.0f}, {"a", 0.25f}}), R"({"a":0.25,"b":1.0})");
  EXPECT_EQ(text({{"a", -0.0f}, {"b", 1e-7f}}), R"({"a":-0.0,"b":1e-7})");  // the JSON float form
  EXPECT_EQ(text({{std::string("q\"\\\n\x01\0/", 7), 0.5f}}),
            R"({"q\"\\\n\u0001\u0000/":0.5})");
  ReputationStore store;
  ASSERT_TRUE(store.set_score("k", 0.5f).ok());
  std::string out = "prefix";
  store.write_json(out);
  EXPECT_EQ(out, R"(prefix{"k":0.5})");
}

TEST(StoreReading, AcceptsNumbersWithLastDuplicateWinning) {
  const std::pair<const char*, std::string> cases[] = {
      {R"({"a":1})", R"({"a":1.0})"},
      {R"({"a":0.5,"a":0.7})", R"({"a":0.7})"},
      {R"({"b":0.1,"a":0.2,"b":0.3})", R"({"a":0.2,"b":0.3})"},
      {R"({"a":2,"a":1})", R"({"a":1.0})"},  // the range check sees only the last duplicate
      {R"({"a":1.00000001})", R"({"a":1.0})"},
      {" \t\r\n{ \"a\" :\n0 , \"b\":1e-1 } \n", R"({"a":0.0,"b":0.1})"},
      {R"({"a":-0})", R"({"a":-0.0})"},
      {R"({"a":-1e-50})", R"({"a":-0.0})"},
      {R"({"\u0000":0.5,"\ud83d\ude00":1})", "{\"\\u0000\":0.5,\"\xF0\x9F\x98\x80\":1.0}"},
      {"{}", "{}"}};
  for (const auto& [text, canonical] : cases) EXPECT_EQ(read_ok(text).to_json(), canonical);
  EXPECT_EQ(bits_of(read_ok(R"({"a":7.038531e-26})").get_score("a")), 0x15ae43fdu);
}

// Malformed text is reported, with its position, before any out-of-range value; the range
// check runs in id order and has no position.
TEST(StoreReading, ErrorsNameTheFirstProblem) {
  const std::string range = " is outside the storable range [0, 1]";
  const std::pair<const char*, std::string> cases[] = {
      {R"({"a":1.0000001})", "reputation score 1.0000001" + range},
      {R"({"a":1e39})", "reputation score inf" + range},
      {R"({"a":-1e39})", "reputation score -inf" + range},
      {R"({"b":2,"a":-0.5})", "reputation score -0.5" + range},
      {R"({"a":1,"a":2})", "reputation score 2" + range},
      {R"({"a":"0.5"})", "expected a number, found a string at line 1 column 6"},
      {"[]", "expected an object, found an array at line 1 column 1"},
      {R"({"a":null})", "expected a number, found null at line 1 column 6"},
      {R"({"a":[0.5]})", "expected a number, found an array at line 1 column 6"},
      {R"({"a":0.5,})", "expected a member name at line 1 column 10"},
      {R"({"a":NaN})", "expected a value at line 1 column 6"},
      {"{\"a\":0.5}\n{}", "trailing characters at line 2 column 1"},
      {"", "unexpected end of input at line 1 column 0"},
      {"{\"a\xFF\":0.5}", "invalid UTF-8 in a string at line 1 column 4"},
      {R"({"\udfff":0.5})", "unpaired surrogate in a \\u escape at line 1 column 3"},
      {R"({"a":2} x)", "trailing characters at line 1 column 9"},
      {R"({"a":2,"b":"x"})", "expected a number, found a string at line 1 column 12"}};
  for (const auto& [text, msg] : cases) EXPECT_EQ(read_error(text), msg) << text;
}

TEST(StoreReading, EmbeddedReadLeavesTheReaderAfterTheObject) {
  json::Reader r(R"([{"a":0.5,"b":1}, 7])");
  ASSERT_TRUE(r.begin_array() && r.next_element());
  auto res = ReputationStore::read_json(r);
  ASSERT_TRUE(std::holds_alternative<ReputationStore>(res)) << std::get<std::string>(res);
  EXPECT_EQ(std::get<ReputationStore>(res).to_json(), R"({"a":0.5,"b":1.0})");
  float f;
  ASSERT_TRUE(r.next_element() && r.read_float(f));
  EXPECT_EQ(f, 7.0f);

  // Out of range: the range message with the position of the closing brace.
  json::Reader bad("{\"x\":{\"a\":2,\n\"b\":0.5}}");
  std::string name;
  ASSERT_TRUE(bad.begin_object() && bad.next_member(name));
  res = ReputationStore::read_json(bad);
  EXPECT_EQ(std::get<std::string>(res),
            "reputation score 2 is outside the storable range [0, 1] at line 2 column 8");
}

TEST(StoreRoundTrip, RandomStoresReadBackBitIdentical) {
  std::mt19937 rng(20261206);
  std::uniform_int_distribution<int> len(0, 12), byte_kind(0, 9), any_byte(0, 0x7F);
  std::uniform_int_distribution<uint32_t> bits(0, 0x3f800000u);
  const std::vector<std::string> non_ascii = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                              "\xF4\x8F\xBF\xBF", "\xEF\xBF\xBF"};
  for (int round = 0; round < 50; ++round) {
    ReputationStore store;
    const int n = round * 7;
    for (int i = 0; i < n; ++i) {
      std::string id;
      for (int k = len(rng); k > 0; --k) {
        if (byte_kind(rng) == 0) {
          id += non_ascii[static_cast<size_t>(any_byte(rng)) % non_ascii.size()];
        } else {
          id.push_back(static_cast<char>(any_byte(rng)));  // control bytes and NUL included
        }
      }
      float s = float_of(bits(rng));
      if (i % 11 == 0) s = -0.0f;
      ASSERT_TRUE(store.set_score(id, s).ok());
    }
    const std::string text = store.to_json();
    const ReputationStore back = read_ok(text);
    EXPECT_EQ(back.all_scores().size(), store.all_scores().size());
    const auto a = store.scores_in_order(), b = back.scores_in_order();
    EXPECT_TRUE(testing::BitsEqual(a.data(), b.data(), std::min(a.size(), b.size())));
    EXPECT_EQ(back.to_json(), text);
  }
}

}  // namespace
}  // namespace fenro::reputation
