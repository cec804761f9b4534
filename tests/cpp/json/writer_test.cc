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
