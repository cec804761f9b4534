#include "fenro/error/number_text.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdlib>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "test_util.h"

namespace fenro {
namespace {

using testing::bits_of;
using testing::float_of;

TEST(MessageNumber, UsesShortestPositionalDigits) {
  EXPECT_EQ(format_message_number(0.6f), "0.6");
  EXPECT_EQ(format_message_number(1.0f), "1");
  EXPECT_EQ(format_message_number(1e-7f), "0.0000001");
  EXPECT_EQ(format_message_number(3e9f), "3000000000");
  EXPECT_EQ(format_message_number(-0.0f), "-0");
  EXPECT_EQ(format_message_number(0.0f), "0");
  EXPECT_EQ(format_message_number(12.5f), "12.5");
  EXPECT_EQ(format_message_number(std::numeric_limits<float>::max()),
            "340282350000000000000000000000000000000");
  EXPECT_EQ(format_message_number(std::numeric_limits<float>::denorm_min()),
            "0." + std::string(44, '0') + "1");
  EXPECT_EQ(format_message_number(std::nanf("")), "NaN");
  EXPECT_EQ(format_message_number(-std::nanf("")), "NaN");
  EXPECT_EQ(format_message_number(-std::numeric_limits<float>::infinity()), "-inf");
  // Double precision keeps its own shortest digits.
  EXPECT_EQ(format_message_number(0.1), "0.1");
  EXPECT_EQ(format_message_number(static_cast<double>(0.1f)), "0.10000000149011612");
  EXPECT_EQ(format_message_number(std::numeric_limits<double>::infinity()), "inf");
}

TEST(Scientific6, RoundsTheExactValueTiesToEven) {
  EXPECT_EQ(format_scientific6(15.0), "1.500000e1");
  EXPECT_EQ(format_scientific6(0.00123), "1.230000e-3");
  EXPECT_EQ(format_scientific6(12.3456789), "1.234568e1");
  EXPECT_EQ(format_scientific6(0.001f), "1.000000e-3");
  EXPECT_EQ(format_scientific6(0.0), "0.000000e0");
  EXPECT_EQ(format_scientific6(1e300), "1.000000e300");
  EXPECT_EQ(format_scientific6(-2.5e-10), "-2.500000e-10");
  // Exact binary ties: 1234567.5 and 1234568.5 are representable in float.
  EXPECT_EQ(format_scientific6(1234567.5f), "1.234568e6");
  EXPECT_EQ(format_scientific6(1234568.5f), "1.234568e6");
  EXPECT_EQ(format_scientific6(std::nan("")), "NaN");
  EXPECT_EQ(format_scientific6(-std::numeric_limits<float>::infinity()), "-inf");
}

// Reads a positional message text back as a float (round to nearest).
float read_back(const std::string& text) {
  float v = 0;
  auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  EXPECT_EQ(r.ec, std::errc()) << text;
  EXPECT_EQ(r.ptr, text.data() + text.size()) << text;
  return v;
}

void expect_round_trip_and_shortest(float v) {
  const std::string text = format_message_number(v);
  ASSERT_EQ(text.find('e'), std::string::npos) << text;
  ASSERT_EQ(bits_of(read_back(text)), bits_of(v)) << text;
  // Shortest: no string with one significant digit fewer reads back as v.
  const ShortestDigits d = shortest_digits(v);
  if (d.digits.size() > 1) {
    char buf[64];
    auto r = std::to_chars(buf, buf + 64, v, std::chars_format::scientific,
                           static_cast<int>(d.digits.size()) - 2);
    float shorter = 0;
    std::from_chars(buf, r.ptr, shorter);
    EXPECT_NE(bits_of(shorter), bits_of(v)) << text << " vs " << std::string(buf, r.ptr);
  }
}

TEST(MessageNumber, RoundTripsRandomAndBoundaryFloats) {
  std::mt19937 rng(1234);
  for (int i = 0; i < 200000; ++i) {
    float v = float_of(static_cast<uint32_t>(rng()));
    if (!std::isfinite(v)) continue;
    expect_round_trip_and_shortest(v);
  }
  const float boundaries[] = {std::numeric_limits<float>::max(),
                              -std::numeric_limits<float>::max(),
                              std::numeric_limits<float>::min(),
                              std::numeric_limits<float>::denorm_min(),
                              float_of(0x007fffffu),
                              1.0f,
                              0.1f,
                              16777216.0f,
                              16777217.0f};
  for (float v : boundaries) expect_round_trip_and_shortest(v);
  for (int e = -45; e <= 38; ++e) {
    const float p = std::strtof(("1e" + std::to_string(e)).c_str(), nullptr);
    expect_round_trip_and_shortest(p);
    expect_round_trip_and_shortest(std::nextafter(p, 0.0f));
    expect_round_trip_and_shortest(std::nextafter(p, std::numeric_limits<float>::infinity()));
  }
}

}  // namespace
}  // namespace fenro
