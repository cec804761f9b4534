#include "fenro/json/writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "fenro/json/reader.h"
#include "test_util.h"

namespace fenro::json {
namespace {

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
  EXPECT_EQ(str(""), R"("")");
  EXPECT_EQ(str("plain id"), R"("plain id")");
  EXPECT_EQ(str("a\"b\\c"), R"("a\"b\\c")");
  EXPECT_EQ(str("\b\t\n\f\r"), R"("\b\t\n\f\r")");
  EXPECT_EQ(str(std::string("\0\x01\x0b\x0e\x1f", 5)), R"("\u0000\u0001\u000b\u000e\u001f")");
  // Solidus, DEL and non-ASCII bytes go out unchanged.
  EXPECT_EQ(str("a/b\x7F\xC3\xA9\xF0\x9F\x98\x80"), "\"a/b\x7F\xC3\xA9\xF0\x9F\x98\x80\"");
  // Appends to what is there.
  std::string out = "x";
  write_string(out, "y");
  EXPECT_EQ(out, "x\"y\"");
}

TEST(WriterStrings, EveryByteReadsBack) {
  std::string all;
  for (int c = 0; c < 0x80; ++c) all.push_back(static_cast<char>(c));
  all += "\xC3\xA9\xE2\x82\xAC\xF4\x8F\xBF\xBF";
  const std::string text = str(all);
  Reader r(text);
  std::string back;
  ASSERT_TRUE(r.read_string(back) && r.finish()) << r.message();
  EXPECT_EQ(back, all);
}

TEST(WriterNumbers, UsePlainDecimalsWithinTheRangeAndExponentsOutside) {
  EXPECT_EQ(num(1.0f), "1.0");
  EXPECT_EQ(num(25.0f), "25.0");
  EXPECT_EQ(num(0.5f), "0.5");
  EXPECT_EQ(num(0.25f), "0.25");
  EXPECT_EQ(num(0.3f), "0.3");
  EXPECT_EQ(num(0.02f), "0.02");
  EXPECT_EQ(num(1.0f / 3.0f), "0.33333334");
  EXPECT_EQ(num(12.5f), "12.5");
  EXPECT_EQ(num(0.0f), "0.0");
  EXPECT_EQ(num(-0.0f), "-0.0");
  EXPECT_EQ(num(-2.5f), "-2.5");
  // Edges of the plain range: exponents -6 and 12 inclusive.
  EXPECT_EQ(num(0.000001f), "0.000001");
  EXPECT_EQ(num(0.0000015f), "0.0000015");
  EXPECT_EQ(num(1e-7f), "1e-7");
  EXPECT_EQ(num(1.5e-7f), "1.5e-7");
  EXPECT_EQ(num(-1.5e-7f), "-1.5e-7");
  EXPECT_EQ(num(1e12f), "1000000000000.0");
  EXPECT_EQ(num(9.999999e12f), "9999999000000.0");
  EXPECT_EQ(num(1e13f), "1e+13");
  EXPECT_EQ(num(1.25e20f), "1.25e+20");
  EXPECT_EQ(num(std::numeric_limits<float>::max()), "3.4028235e+38");
  EXPECT_EQ(num(std::numeric_limits<float>::min()), "1.1754944e-38");
  EXPECT_EQ(num(7.038531e-26f), "7.038531e-26");
  EXPECT_EQ(num(std::nanf("")), "null");
  EXPECT_EQ(num(std::numeric_limits<float>::infinity()), "null");
  EXPECT_EQ(num(-std::numeric_limits<float>::infinity()), "null");
}

TEST(WriterNumbers, SubnormalsKeepTheirExponentAfterLongerTexts) {
  // Written right after a value with many digits, so that leftovers of the earlier text cannot
  // leak into the exponent.
  EXPECT_EQ(num(std::numeric_limits<float>::max()), "3.4028235e+38");
  EXPECT_EQ(num(std::numeric_limits<float>::denorm_min()), "1e-45");
  EXPECT_EQ(num(-0.33333334f), "-0.33333334");
  EXPECT_EQ(num(testing::float_of(0x16)), "3.1e-44");
}

TEST(WriterNumbers, Uint64IsPlainDecimal) {
  std::string out;
  write_uint64(out, 0);
  out.push_back(',');
  write_uint64(out, std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(out, "0,18446744073709551615");
}

}  // namespace
}  // namespace fenro::json
