#include "fenro/json/reader.h"
#include "fenro/json/writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "test_util.h"

namespace fenro::json {
namespace {

using testing::bits_of;

uint32_t float_bits(std::string_view text) {
  Reader r(text);
  float v = -1.0f;
  EXPECT_TRUE(r.read_float(v) && r.finish()) << text << ": " << r.message();
  return bits_of(v);
}

std::string skip_error(std::string_view text) {
  Reader r(text);
  EXPECT_FALSE(r.skip_value() && r.finish()) << text;
  return r.message();
}

std::string read_string(std::string_view text) {
  Reader r(text);
  std::string s;
  EXPECT_TRUE(r.read_string(s) && r.finish()) << r.message();
  return s;
}

// Rounded once to the nearest float32 (ties to even); out of range gives signed inf or zero.
TEST(ReaderNumbers, RoundOnceToNearestFloat) {
  const uint32_t inf = bits_of(INFINITY), neg = 0x80000000u;
  const std::pair<const char*, uint32_t> cases[] = {
      {"-0", neg}, {"0.3", bits_of(0.3f)}, {"25E-1", bits_of(2.5f)},
      {"16777219", bits_of(16777220.0f)}, {"18446744073709551616", bits_of(18446744073709551616.0f)},
      // Around the midpoint between 1 and the next float32, 1 + 2^-23.
      {"1.00000001", bits_of(1.0f)}, {"1.0000000596046447753906250000", bits_of(1.0f)},
      {"1.0000000596046447753906250001", 0x3f800001u},
      {"1e39", inf}, {"-1e39", inf | neg}, {"3.4028235e38", bits_of(std::numeric_limits<float>::max())},
      {"1e99999999999999999999", inf}, {"0.0000000000000000000001e100000", inf},
      {"1e-50", 0u}, {"-1e-99999999999999999999", neg}, {"100000000000000e-60", 0u},
      {"7.1e-46", 1u}, {"7e-46", 0u}};  // just above / at half the smallest subnormal
  for (const auto& [text, bits] : cases) EXPECT_EQ(float_bits(text), bits) << text;
  // Through a double first, this text lands on the neighbour of the float32 it was written from.
  EXPECT_NE(bits_of(static_cast<float>(std::strtod("7.038531e-26", nullptr))), 0x15ae43fdu);
  EXPECT_EQ(float_bits("7.038531e-26"), 0x15ae43fdu);
}

TEST(ReaderNumbers, Uint64TakesIntegersInRangeOnly) {
  Reader r("[18446744073709551615, -0]");
  uint64_t v = 1;
  ASSERT_TRUE(r.begin_array() && r.next_element() && r.read_uint64(v));
  EXPECT_EQ(v, std::numeric_limits<uint64_t>::max());
  ASSERT_TRUE(r.next_element() && r.read_uint64(v));
  EXPECT_EQ(v, 0u);
  EXPECT_TRUE(!r.next_element() && r.finish());
  for (const std::string bad : {"18446744073709551616", "-1", "1.0", "1e2"}) {
    Reader b(bad);
    EXPECT_FALSE(b.read_uint64(v));
    EXPECT_EQ(b.message(), "expected an unsigned 64-bit integer, found the number " + bad +
                               " at line 1 column 1");
  }
}

TEST(ReaderStrings, DecodeEscapesAndPassUtf8) {
  EXPECT_EQ(read_string(R"("a\"b\\c\/d\be\ff\ng\rh\ti")"), "a\"b\\c/d\be\ff\ng\rh\ti");
  EXPECT_EQ(read_string(R"("\u0041\u00e9\u20AC\u0000")"), std::string("A\xC3\xA9\xE2\x82\xAC\0", 7));
  EXPECT_EQ(read_string(R"("\ud83d\ude00\uDBFF\uDFFF")"), "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
  EXPECT_EQ(read_string("\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x7F\""),
            "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x7F");
}

TEST(ReaderStrings, RejectMalformedUtf8) {
  for (const std::string bad : {"\x80", "\xC0\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80",
                                "\xED\xBF\xBF", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80",
                                "\xF5\x80\x80\x80", "\xFF", "\xE2\x82", "\xC3\x41"}) {
    EXPECT_EQ(skip_error("\"ab" + bad + "\""), "invalid UTF-8 in a string at line 1 column 4")
        << ::testing::PrintToString(bad);
  }
}

// Every syntax error, with the position rule: the character at which reading stopped, the last
// one at the end of the input; lines split at line feeds, multi-byte characters count once.
TEST(ReaderErrors, NameTheProblemAndWhereReadingStopped) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "unexpected end of input at line 1 column 0"},
      {"[1,\n", "unexpected end of input at line 1 column 4"},
      {"[1,\n ", "unexpected end of input at line 2 column 1"},
      {"{\n  \"a\": x}", "expected a value at line 2 column 8"},
      {"{\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\":?}", "expected a value at line 1 column 8"},
      {"[1,]", "expected a value at line 1 column 4"},
      {"{\"a\":1,}", "expected a member name at line 1 column 8"},
      {"{1:2}", "expected a member name at line 1 column 2"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{} {}", "trailing characters at line 1 column 4"},
      {"01", "trailing characters at line 1 column 2"},
      {"nul1", "invalid literal at line 1 column 4"},
      {"1.", "invalid number at line 1 column 2"},
      {"-x", "invalid number at line 1 column 2"},
      {"1e+", "invalid number at line 1 column 3"},
      {"+1", "expected a value at line 1 column 1"},
      {"NaN", "expected a value at line 1 column 1"},
      {"// c\n{}", "expected a value at line 1 column 1"},
      {"\"\\ud800\"", "unpaired surrogate in a \\u escape at line 1 column 2"},
      {"\"\\udc00\\ud800\"", "unpaired surrogate in a \\u escape at line 1 column 2"},
      {"\"\\ud800\\u0041\"", "unpaired surrogate in a \\u escape at line 1 column 2"},
      {"\"\\u12G4\"", "invalid \\u escape at line 1 column 2"},
      {"\"\\x\"", "invalid escape in a string at line 1 column 2"},
      {"\"a\tb\"", "control character in a string at line 1 column 3"},
      {"\"abc\\", "unexpected end of input in a string at line 1 column 5"},
  };
  for (const auto& [text, msg] : cases) EXPECT_EQ(skip_error(text), msg) << text;
}

TEST(ReaderErrors, TypeMismatchesNameBothKindsAfterSyntaxChecks) {
  const auto float_error = [](std::string_view text) {
    Reader r(text);
    float f;
    EXPECT_FALSE(r.read_float(f));
    return r.message();
  };
  EXPECT_EQ(float_error(" \"0.5\""), "expected a number, found a string at line 1 column 2");
  EXPECT_EQ(float_error("null"), "expected a number, found null at line 1 column 1");
  EXPECT_EQ(float_error("[1,[2]]"), "expected a number, found an array at line 1 column 1");
  EXPECT_EQ(float_error("[1,"), "unexpected end of input at line 1 column 3");
  EXPECT_EQ(float_error("trux"), "invalid literal at line 1 column 4");
  Reader r("{}");
  EXPECT_FALSE(r.begin_array("struct Thing"));
  EXPECT_EQ(r.message(), "expected struct Thing, found an object at line 1 column 1");
  // The first error sticks.
  EXPECT_FALSE(r.finish());
  EXPECT_FALSE(r.fail("later"));
  EXPECT_EQ(r.message(), "expected struct Thing, found an object at line 1 column 1");
}

TEST(ReaderStructure, WalksItemByItemAndPositionsCallerChecks) {
  Reader r(" {\"a\" : [1, {\"b\":null}, true] ,\n\"c\":{}}\r\n\t ");
  std::string name;
  float f = 0;
  bool b = false;
  ASSERT_TRUE(r.begin_object() && r.next_member(name));
  EXPECT_EQ(name, "a");
  ASSERT_TRUE(r.begin_array() && r.next_element() && r.read_float(f));
  ASSERT_TRUE(r.next_element() && r.skip_value());
  ASSERT_TRUE(r.next_element() && r.read_bool(b));
  EXPECT_TRUE(f == 1.0f && b);
  EXPECT_FALSE(r.next_element());
  ASSERT_TRUE(r.next_member(name));
  EXPECT_EQ(r.error("duplicate field `c`"), "duplicate field `c` at line 2 column 4");
  ASSERT_TRUE(r.begin_object());
  EXPECT_EQ(r.depth(), 2);
  EXPECT_FALSE(r.next_member(name));
  EXPECT_FALSE(r.next_member(name));
  EXPECT_FALSE(r.failed());
  EXPECT_TRUE(r.finish());
}

std::string nested(int levels, std::string_view inner = "") {
  std::string s;
  for (int i = 0; i < levels; ++i) s += i % 2 ? "{\"k\":" : "[";
  s += inner;
  for (int i = levels - 1; i >= 0; --i) s += i % 2 ? "}" : "]";
  return s;
}

TEST(ReaderDepth, AllowsTheLimitAndRejectsDeeperWithoutRecursing) {
  const int max = Reader::kMaxDepth;
  ASSERT_GE(max, 128);
  const std::string too_deep = "nesting deeper than " + std::to_string(max) + " levels";
  const std::string at_max = nested(max, "1");
  Reader ok(at_max);
  EXPECT_TRUE(ok.skip_value() && ok.finish()) << ok.message();
  EXPECT_EQ(skip_error(nested(max + 1, "1")),
            too_deep + " at line 1 column " + std::to_string(max * 3 + 1));
  // Skipping counts the containers the caller has opened.
  const std::string text = "{\"a\":" + nested(max - 1) + ",\"b\":" + nested(max) + "}";
  Reader r(text);
  std::string name;
  ASSERT_TRUE(r.begin_object() && r.next_member(name) && r.skip_value()) << r.message();
  ASSERT_TRUE(r.next_member(name));
  EXPECT_FALSE(r.skip_value());
  EXPECT_EQ(r.message().rfind(too_deep, 0), 0u) << r.message();
  // Opening containers one by one stops at the same limit.
  const std::string brackets(static_cast<size_t>(max) + 1, '[');
  Reader step(brackets);
  int opened = 0;
  while (step.begin_array() && step.next_element()) ++opened;
  EXPECT_EQ(opened, max);
  EXPECT_EQ(step.message(), too_deep + " at line 1 column " + std::to_string(max + 1));
  EXPECT_EQ(skip_error(std::string(1000000, '[')).rfind(too_deep, 0), 0u);
}

std::string str(std::string_view s) {
  std::string out;
  write_string(out, s);
  return out;
}

std::string num(float v) {
  std::string out;
  write_float(out, v);
  return out;
}

TEST(WriterStrings, EscapeOnlyQuotesBackslashesAndControlCharacters) {
  EXPECT_EQ(str("a\"b\\c\b\t\n\f\r"), R"("a\"b\\c\b\t\n\f\r")");
  EXPECT_EQ(str(std::string("\0\x01\x0b\x1f", 4)), R"("\u0000\u0001\u000b\u001f")");
  EXPECT_EQ(str("a/b\x7F\xC3\xA9\xF0\x9F\x98\x80"), "\"a/b\x7F\xC3\xA9\xF0\x9F\x98\x80\"");
  // Every ASCII byte reads back.
  std::string all;
  for (int c = 0; c < 0x80; ++c) all.push_back(static_cast<char>(c));
  const std::string text = str(all);
  Reader r(text);
  std::string back;
  ASSERT_TRUE(r.read_string(back) && r.finish()) << r.message();
  EXPECT_EQ(back, all);
}

TEST(WriterNumbers, UsePlainDecimalsFromExponentMinus6To12AndExponentsOutside) {
  const std::pair<float, const char*> cases[] = {
      {1.0f, "1.0"}, {25.0f, "25.0"}, {0.5f, "0.5"}, {0.3f, "0.3"}, {0.02f, "0.02"},
      {1.0f / 3.0f, "0.33333334"}, {12.5f, "12.5"}, {0.0f, "0.0"}, {-0.0f, "-0.0"},
      {0.000001f, "0.000001"}, {0.0000015f, "0.0000015"}, {1e-7f, "1e-7"}, {1.5e-7f, "1.5e-7"},
      {-1.5e-7f, "-1.5e-7"}, {1e12f, "1000000000000.0"}, {9.999999e12f, "9999999000000.0"},
      {1e13f, "1e+13"}, {1.25e20f, "1.25e+20"}, {7.038531e-26f, "7.038531e-26"},
      {std::numeric_limits<float>::max(), "3.4028235e+38"},
      // Right after a long text, so that leftovers of it cannot leak into the exponent.
      {std::numeric_limits<float>::denorm_min(), "1e-45"},
      {std::nanf(""), "null"}, {-std::numeric_limits<float>::infinity(), "null"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(num(v), text);
  std::string out = "[";
  write_uint64(out, std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(out, "[18446744073709551615");
}

}  // namespace
}  // namespace fenro::json
