#include "fenro/json/reader.h"

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

// Reads the whole text as one number; fails the test on a reader error.
uint32_t float_bits(std::string_view text) {
  Reader r(text);
  float v = -1.0f;
  EXPECT_TRUE(r.read_float(v) && r.finish()) << text << ": " << r.message();
  return bits_of(v);
}

// The reader's message for a text read as one skipped value plus end of input.
std::string skip_error(std::string_view text) {
  Reader r(text);
  EXPECT_FALSE(r.skip_value() && r.finish()) << text;
  return r.message();
}

std::string string_error(std::string_view text) {
  Reader r(text);
  std::string s;
  EXPECT_FALSE(r.read_string(s)) << text;
  return r.message();
}

std::string read_whole_string(std::string_view text) {
  Reader r(text);
  std::string s;
  EXPECT_TRUE(r.read_string(s) && r.finish()) << r.message();
  return s;
}

TEST(ReaderNumbers, RoundOnceToNearestFloat) {
  EXPECT_EQ(float_bits("1"), bits_of(1.0f));
  EXPECT_EQ(float_bits("0.25"), bits_of(0.25f));
  EXPECT_EQ(float_bits("-0"), bits_of(-0.0f));
  EXPECT_EQ(float_bits("-0.0e5"), bits_of(-0.0f));
  EXPECT_EQ(float_bits("0.3"), bits_of(0.3f));
  EXPECT_EQ(float_bits("1E2"), bits_of(100.0f));
  EXPECT_EQ(float_bits("25e-1"), bits_of(2.5f));
  // Integers beyond 2^24 round to the nearest float32, ties to even, also beyond 2^64.
  EXPECT_EQ(float_bits("16777217"), bits_of(16777216.0f));
  EXPECT_EQ(float_bits("16777219"), bits_of(16777220.0f));
  EXPECT_EQ(float_bits("18446744073709551616"), bits_of(18446744073709551616.0f));
  // Just below and above the midpoint between 1 and the next float32, 1 + 2^-23.
  EXPECT_EQ(float_bits("1.00000001"), bits_of(1.0f));
  EXPECT_EQ(float_bits("1.0000000596046447753906250000"), bits_of(1.0f));
  EXPECT_EQ(float_bits("1.0000000596046447753906250001"), 0x3f800001u);
  EXPECT_EQ(float_bits("1.0000001"), 0x3f800001u);
}

TEST(ReaderNumbers, HardValueDoesNotRoundTwice) {
  // Through a double first, this text lands on the float32 neighbour of the value it was
  // written from; read once it gives the value back.
  const float twice = static_cast<float>(std::strtod("7.038531e-26", nullptr));
  EXPECT_NE(bits_of(twice), 0x15ae43fdu);
  EXPECT_EQ(float_bits("7.038531e-26"), 0x15ae43fdu);
}

TEST(ReaderNumbers, OutOfRangeBecomesSignedInfinityOrZero) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(float_bits("1e39"), bits_of(inf));
  EXPECT_EQ(float_bits("-1e39"), bits_of(-inf));
  EXPECT_EQ(float_bits("340282356779733661637539395458142568448"), bits_of(inf));
  EXPECT_EQ(float_bits("3.4028235e38"), bits_of(std::numeric_limits<float>::max()));
  EXPECT_EQ(float_bits("1e99999999999999999999"), bits_of(inf));
  EXPECT_EQ(float_bits("0.0000000000000000000001e100000"), bits_of(inf));
  EXPECT_EQ(float_bits("1e-50"), bits_of(0.0f));
  EXPECT_EQ(float_bits("-1e-50"), bits_of(-0.0f));
  EXPECT_EQ(float_bits("-1e-99999999999999999999"), bits_of(-0.0f));
  EXPECT_EQ(float_bits("100000000000000e-60"), bits_of(0.0f));
  // Subnormals stay: the smallest one, and half of it rounding up past the tie.
  EXPECT_EQ(float_bits("1e-45"), 1u);
  EXPECT_EQ(float_bits("7.1e-46"), 1u);
  EXPECT_EQ(float_bits("7e-46"), 0u);
}

TEST(ReaderNumbers, RejectsWhatJsonDoesNotAllow) {
  EXPECT_EQ(skip_error("1."), "invalid number at line 1 column 2");
  EXPECT_EQ(skip_error("-"), "invalid number at line 1 column 1");
  EXPECT_EQ(skip_error("1e+"), "invalid number at line 1 column 3");
  EXPECT_EQ(skip_error("-x"), "invalid number at line 1 column 2");
  EXPECT_EQ(skip_error(".5"), "expected a value at line 1 column 1");
  EXPECT_EQ(skip_error("+1"), "expected a value at line 1 column 1");
  EXPECT_EQ(skip_error("NaN"), "expected a value at line 1 column 1");
  EXPECT_EQ(skip_error("Infinity"), "expected a value at line 1 column 1");
  EXPECT_EQ(skip_error("01"), "trailing characters at line 1 column 2");
  EXPECT_EQ(skip_error("0x10"), "trailing characters at line 1 column 2");
}

TEST(ReaderNumbers, Uint64TakesIntegersInRangeOnly) {
  Reader r("[0, 18446744073709551615, -0]");
  uint64_t v = 1;
  ASSERT_TRUE(r.begin_array());
  ASSERT_TRUE(r.next_element() && r.read_uint64(v));
  EXPECT_EQ(v, 0u);
  ASSERT_TRUE(r.next_element() && r.read_uint64(v));
  EXPECT_EQ(v, std::numeric_limits<uint64_t>::max());
  ASSERT_TRUE(r.next_element() && r.read_uint64(v));
  EXPECT_EQ(v, 0u);
  EXPECT_FALSE(r.next_element());
  EXPECT_TRUE(r.finish());

  for (const auto& [text, msg] : std::vector<std::pair<std::string, std::string>>{
           {"18446744073709551616", "expected an unsigned 64-bit integer, found the number "
                                    "18446744073709551616 at line 1 column 1"},
           {" -1", "expected an unsigned 64-bit integer, found the number -1 at line 1 column 2"},
           {"1.0", "expected an unsigned 64-bit integer, found the number 1.0 at line 1 column 1"},
           {"1e2", "expected an unsigned 64-bit integer, found the number 1e2 at line 1 column 1"},
           {"\"1\"", "expected an unsigned 64-bit integer, found a string at line 1 column 1"},
       }) {
    Reader bad(text);
    EXPECT_FALSE(bad.read_uint64(v));
    EXPECT_EQ(bad.message(), msg);
  }
}

TEST(ReaderStrings, DecodesEveryEscape) {
  EXPECT_EQ(read_whole_string(R"("a\"b\\c\/d\be\ff\ng\rh\ti")"),
            "a\"b\\c/d\be\ff\ng\rh\ti");
  EXPECT_EQ(read_whole_string(R"("\u0041\u00e9\u20AC")"), "A\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(read_whole_string(R"("x\u0000y")"), std::string("x\0y", 3));
  // A surrogate pair decodes to one four-byte character.
  EXPECT_EQ(read_whole_string(R"("\ud83d\ude00")"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(read_whole_string(R"("\uDBFF\uDFFF")"), "\xF4\x8F\xBF\xBF");
  // Raw UTF-8 passes unchanged, up to U+10FFFF; so does U+007F.
  EXPECT_EQ(read_whole_string("\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\x7F\""),
            "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\x7F");
  EXPECT_EQ(read_whole_string("\"\""), "");
}

TEST(ReaderStrings, RejectsLoneSurrogatesAndBadEscapes) {
  EXPECT_EQ(string_error(R"("ab\ud800")"),
            "unpaired surrogate in a \\u escape at line 1 column 4");
  EXPECT_EQ(string_error(R"("\udc00\ud800")"),
            "unpaired surrogate in a \\u escape at line 1 column 2");
  EXPECT_EQ(string_error(R"("\ud800\u0041")"),
            "unpaired surrogate in a \\u escape at line 1 column 2");
  EXPECT_EQ(string_error(R"("\ud800\ud800")"),
            "unpaired surrogate in a \\u escape at line 1 column 2");
  EXPECT_EQ(string_error(R"("\u12")"), "invalid \\u escape at line 1 column 2");
  EXPECT_EQ(string_error(R"("\u12G4")"), "invalid \\u escape at line 1 column 2");
  EXPECT_EQ(string_error(R"("\x")"), "invalid escape in a string at line 1 column 2");
  EXPECT_EQ(string_error("\"a\tb\""), "control character in a string at line 1 column 3");
  EXPECT_EQ(string_error("\"abc"), "unexpected end of input in a string at line 1 column 4");
  EXPECT_EQ(string_error("\"abc\\"), "unexpected end of input in a string at line 1 column 5");
}

TEST(ReaderStrings, RejectsMalformedUtf8) {
  for (const std::string bad : {
           "\x80",              // stray continuation byte
           "\xC0\x80",          // overlong NUL
           "\xC1\xBF",          // overlong
           "\xE0\x9F\xBF",      // overlong three-byte form
           "\xED\xA0\x80",      // encoded surrogate U+D800
           "\xED\xBF\xBF",      // encoded surrogate U+DFFF
           "\xF0\x8F\xBF\xBF",  // overlong four-byte form
           "\xF4\x90\x80\x80",  // above U+10FFFF
           "\xF5\x80\x80\x80",  // invalid lead byte
           "\xFF",              //
           "\xE2\x82",          // truncated before the quote
           "\xC3\x41",          // continuation missing
       }) {
    EXPECT_EQ(string_error("\"ab" + bad + "\""), "invalid UTF-8 in a string at line 1 column 4")
        << ::testing::PrintToString(bad);
  }
  // Outside strings any such byte simply starts no value.
  EXPECT_EQ(skip_error("\xC3\xA9"), "expected a value at line 1 column 1");
}

TEST(ReaderStructure, WalksObjectsAndArraysItemByItem) {
  Reader r(" {\"a\" : [1, {\"b\":null}, true] ,\"c\":\"x\", \"d\":{}}\r\n\t ");
  std::string name, s;
  float f = 0;
  bool b = false;
  ASSERT_TRUE(r.begin_object());
  ASSERT_TRUE(r.next_member(name));
  EXPECT_EQ(name, "a");
  ASSERT_TRUE(r.begin_array());
  ASSERT_TRUE(r.next_element() && r.read_float(f));
  EXPECT_EQ(f, 1.0f);
  ASSERT_TRUE(r.next_element() && r.skip_value());
  ASSERT_TRUE(r.next_element() && r.read_bool(b));
  EXPECT_TRUE(b);
  EXPECT_FALSE(r.next_element());
  ASSERT_TRUE(r.next_member(name));
  EXPECT_EQ(name, "c");
  ASSERT_TRUE(r.read_string(s));
  EXPECT_EQ(s, "x");
  ASSERT_TRUE(r.next_member(name));
  EXPECT_EQ(name, "d");
  ASSERT_TRUE(r.begin_object());
  EXPECT_EQ(r.depth(), 2);
  EXPECT_FALSE(r.next_member(name));
  EXPECT_FALSE(r.next_member(name));
  EXPECT_FALSE(r.failed());
  EXPECT_EQ(r.depth(), 0);
  EXPECT_TRUE(r.finish());
}

TEST(ReaderStructure, ReportsSyntaxErrors) {
  EXPECT_EQ(skip_error(""), "unexpected end of input at line 1 column 0");
  EXPECT_EQ(skip_error("  "), "unexpected end of input at line 1 column 2");
  EXPECT_EQ(skip_error("{\"a\":1,}"), "expected a member name at line 1 column 8");
  EXPECT_EQ(skip_error("[1,]"), "expected a value at line 1 column 4");
  EXPECT_EQ(skip_error("[1 2]"), "expected `,` or `]` at line 1 column 4");
  EXPECT_EQ(skip_error("{\"a\" 1}"), "expected `:` at line 1 column 6");
  EXPECT_EQ(skip_error("{\"a\":1 \"b\":2}"), "expected `,` or `}` at line 1 column 8");
  EXPECT_EQ(skip_error("{1:2}"), "expected a member name at line 1 column 2");
  EXPECT_EQ(skip_error("{\"a\":1"), "unexpected end of input at line 1 column 6");
  EXPECT_EQ(skip_error("{} {}"), "trailing characters at line 1 column 4");
  EXPECT_EQ(skip_error("tru"), "unexpected end of input at line 1 column 3");
  EXPECT_EQ(skip_error("nul1"), "invalid literal at line 1 column 4");
  EXPECT_EQ(skip_error("[true false]"), "expected `,` or `]` at line 1 column 7");
  EXPECT_EQ(skip_error("// c\n{}"), "expected a value at line 1 column 1");
  EXPECT_EQ(skip_error("{\"a\":1}\x0b"), "trailing characters at line 1 column 8");

  // The same texts through the caller-driven walk.
  Reader r("{\"a\":1,}");
  std::string name;
  float f;
  ASSERT_TRUE(r.begin_object() && r.next_member(name) && r.read_float(f));
  EXPECT_FALSE(r.next_member(name));
  EXPECT_EQ(r.message(), "expected a member name at line 1 column 8");
}

TEST(ReaderPositions, CountLinesAndCharacters) {
  // Line feeds start a new line; carriage returns and tabs are characters of the line.
  EXPECT_EQ(skip_error("{\n  \"a\": x}"), "expected a value at line 2 column 8");
  EXPECT_EQ(skip_error("\r\n\r\n\t]"), "expected a value at line 3 column 2");
  // A multi-byte character counts once.
  EXPECT_EQ(skip_error("{\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\":?}"),
            "expected a value at line 1 column 8");
  // At the end of the input: the last character, the line feed included.
  EXPECT_EQ(skip_error("[1,\n"), "unexpected end of input at line 1 column 4");
  EXPECT_EQ(skip_error("[1,\n "), "unexpected end of input at line 2 column 1");

  // Caller checks point at the last character read.
  Reader r("{\n \"k\" : 5 }");
  std::string name;
  ASSERT_TRUE(r.begin_object() && r.next_member(name));
  EXPECT_EQ(r.error("duplicate field `k`"), "duplicate field `k` at line 2 column 6");
  EXPECT_FALSE(r.failed());
  EXPECT_FALSE(r.fail("custom"));
  EXPECT_EQ(r.message(), "custom at line 2 column 6");
}

TEST(ReaderTypes, NameTheExpectedAndTheFoundKind) {
  const auto type_error = [](std::string_view text) {
    Reader r(text);
    float f;
    EXPECT_FALSE(r.read_float(f));
    return r.message();
  };
  EXPECT_EQ(type_error(" \"0.5\""), "expected a number, found a string at line 1 column 2");
  EXPECT_EQ(type_error("null"), "expected a number, found null at line 1 column 1");
  EXPECT_EQ(type_error("false"), "expected a number, found a boolean at line 1 column 1");
  EXPECT_EQ(type_error("[1,[2]]"), "expected a number, found an array at line 1 column 1");
  EXPECT_EQ(type_error("{}"), "expected a number, found an object at line 1 column 1");
  // A malformed value is a syntax error first.
  EXPECT_EQ(type_error("[1,"), "unexpected end of input at line 1 column 3");
  EXPECT_EQ(type_error("trux"), "invalid literal at line 1 column 4");
  EXPECT_EQ(type_error("x"), "expected a value at line 1 column 1");

  Reader r("[]");
  EXPECT_FALSE(r.begin_object("struct Thing"));
  EXPECT_EQ(r.message(), "expected struct Thing, found an array at line 1 column 1");
  Reader n("1");
  bool b;
  EXPECT_FALSE(n.read_bool(b));
  EXPECT_EQ(n.message(), "expected a boolean, found the number 1 at line 1 column 1");
}

TEST(ReaderErrors, AreStickyAndKeepTheFirstMessage) {
  Reader r("[x]");
  ASSERT_TRUE(r.begin_array());
  ASSERT_TRUE(r.next_element());
  EXPECT_FALSE(r.skip_value());
  const std::string first = r.message();
  EXPECT_EQ(first, "expected a value at line 1 column 2");
  float f;
  std::string s;
  EXPECT_FALSE(r.read_float(f));
  EXPECT_FALSE(r.next_element());
  EXPECT_FALSE(r.read_string(s));
  EXPECT_FALSE(r.finish());
  EXPECT_FALSE(r.fail("later"));
  EXPECT_EQ(r.message(), first);
}

std::string nested(int levels, std::string_view inner = "") {
  std::string s;
  for (int i = 0; i < levels; ++i) s += i % 2 ? "{\"k\":" : "[";
  s += inner;
  for (int i = levels - 1; i >= 0; --i) s += i % 2 ? "}" : "]";
  return s;
}

TEST(ReaderDepth, AllowsTheLimitAndRejectsDeeper) {
  const int max = Reader::kMaxDepth;
  ASSERT_GE(max, 128);
  {
    const std::string text = nested(max, "1");
    Reader r(text);
    EXPECT_TRUE(r.skip_value() && r.finish()) << r.message();
  }
  {
    const std::string text = nested(max + 1, "1");
    Reader r(text);
    EXPECT_FALSE(r.skip_value());
    EXPECT_EQ(r.message(), "nesting deeper than " + std::to_string(max) +
                               " levels at line 1 column " + std::to_string(max * 3 + 1));
  }
  // Skipping counts the containers the caller has already opened.
  {
    const std::string text = "{\"a\":" + nested(max - 1) + ",\"b\":" + nested(max) + "}";
    Reader r(text);
    std::string name;
    ASSERT_TRUE(r.begin_object() && r.next_member(name) && r.skip_value()) << r.message();
    ASSERT_TRUE(r.next_member(name));
    EXPECT_FALSE(r.skip_value());
    EXPECT_NE(r.message().find("nesting deeper than"), std::string::npos) << r.message();
  }
  // Opening containers one by one stops at the same limit.
  {
    const std::string text(static_cast<size_t>(max) + 1, '[');
    Reader r(text);
    int opened = 0;
    while (r.begin_array() && r.next_element()) ++opened;
    EXPECT_EQ(opened, max);
    EXPECT_EQ(r.message(), "nesting deeper than " + std::to_string(max) +
                               " levels at line 1 column " + std::to_string(max + 1));
  }
  // Far deeper input is an error, not a stack overflow.
  EXPECT_NE(skip_error(std::string(1000000, '[')).find("nesting deeper than"), std::string::npos);
}

}  // namespace
}  // namespace fenro::json
