#include "fenro/error/error.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "fenro/error/number_text.h"
#include "test_util.h"

namespace fenro::error {
namespace {

using testing::bits_of;
using testing::float_of;

// The templates reached through real failures are pinned by the module tests; these are the
// ones no C++ path produces, plus the typed access.
TEST(FenroError, RendersTemplatesAndKeepsTypedFields) {
  EXPECT_EQ(FenroError(ArrayShape{"bad"}).message(), "Array shape error: bad");
  EXPECT_EQ(FenroError(NormBoundExceeded{10.0f, 15.0}).message(),
            "update norm 1.500000e1 exceeds bound 1.000000e1");
  EXPECT_EQ(FenroError(NonFiniteReputationDistance{INFINITY, "client-7"}).message(),
            "non-finite reputation distance inf for client client-7");
  FenroError e = NormBoundExceeded{2.0f, 3.5};
  ASSERT_TRUE(e.is<NormBoundExceeded>());
  EXPECT_EQ(e.get_if<NormBoundExceeded>()->norm, 3.5);
  EXPECT_EQ(e.get_if<InvalidNormBound>(), nullptr);
}

TEST(NumberText, MessageAndScientificTexts) {
  const float fmax = std::numeric_limits<float>::max();
  const std::pair<float, std::string> floats[] = {
      {0.6f, "0.6"}, {1.0f, "1"}, {1e-7f, "0.0000001"}, {3e9f, "3000000000"}, {-0.0f, "-0"},
      {0.0f, "0"}, {12.5f, "12.5"}, {fmax, "340282350000000000000000000000000000000"},
      {std::numeric_limits<float>::denorm_min(), "0." + std::string(44, '0') + "1"},
      {std::nanf(""), "NaN"}, {-std::nanf(""), "NaN"}, {-INFINITY, "-inf"}};
  for (const auto& [v, text] : floats) EXPECT_EQ(format_message_number(v), text);
  // Double precision keeps its own shortest digits.
  EXPECT_EQ(format_message_number(0.1), "0.1");
  EXPECT_EQ(format_message_number(static_cast<double>(0.1f)), "0.10000000149011612");
  EXPECT_EQ(format_message_number(std::numeric_limits<double>::infinity()), "inf");
  // Six digits after the point, rounding the exact value ties-to-even (1234567.5 and 1234568.5
  // are exact binary ties).
  const std::pair<double, const char*> sci[] = {
      {15.0, "1.500000e1"}, {0.00123, "1.230000e-3"}, {12.3456789, "1.234568e1"},
      {0.001f, "1.000000e-3"}, {0.0, "0.000000e0"}, {1e300, "1.000000e300"},
      {-2.5e-10, "-2.500000e-10"}, {1234567.5f, "1.234568e6"}, {1234568.5f, "1.234568e6"},
      {std::nan(""), "NaN"}, {-INFINITY, "-inf"}};
  for (const auto& [v, text] : sci) EXPECT_EQ(format_scientific6(v), text);
}

// The message text reads back to the same bits, and one significant digit fewer would not.
void expect_round_trip_and_shortest(float v) {
  const std::string text = format_message_number(v);
  ASSERT_EQ(text.find('e'), std::string::npos) << text;
  float back = 0;
  auto r = std::from_chars(text.data(), text.data() + text.size(), back);
  ASSERT_TRUE(r.ec == std::errc() && r.ptr == text.data() + text.size()) << text;
  ASSERT_EQ(bits_of(back), bits_of(v)) << text;
  const ShortestDigits d = shortest_digits(v);
  if (d.digits.size() > 1) {
    char buf[64];
    auto s = std::to_chars(buf, buf + 64, v, std::chars_format::scientific,
                           static_cast<int>(d.digits.size()) - 2);
    float shorter = 0;
    std::from_chars(buf, s.ptr, shorter);
    EXPECT_NE(bits_of(shorter), bits_of(v)) << text << " vs " << std::string(buf, s.ptr);
  }
}

TEST(NumberText, MessageNumbersRoundTripRandomAndBoundaryFloats) {
  std::mt19937 rng(1234);
  for (int i = 0; i < 200000; ++i) {
    const float v = float_of(static_cast<uint32_t>(rng()));
    if (std::isfinite(v)) expect_round_trip_and_shortest(v);
  }
  const float fmax = std::numeric_limits<float>::max();
  for (float v : {fmax, -fmax, std::numeric_limits<float>::min(), float_of(1), float_of(0x007fffffu),
                  1.0f, 0.1f, 16777216.0f, 16777217.0f, float_of(0x15ae43fdu)}) {
    expect_round_trip_and_shortest(v);
  }
  for (int e = -45; e <= 38; ++e) {
    const float p = std::strtof(("1e" + std::to_string(e)).c_str(), nullptr);
    expect_round_trip_and_shortest(p);
    expect_round_trip_and_shortest(std::nextafter(p, 0.0f));
    expect_round_trip_and_shortest(std::nextafter(p, INFINITY));
  }
}

}  // namespace
}  // namespace fenro::error
