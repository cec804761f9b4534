#include "fenro/error/number_text.h"

#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace fenro::error {
namespace {

// Splits the shortest scientific text of to_chars ("-1.5e-07") into sign, digits, exponent.
template <class T>
ShortestDigits shortest_digits_impl(T value) {
  assert(std::isfinite(value));
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  assert(res.ec == std::errc());
  const char* p = buf;
  ShortestDigits out;
  if (*p == '-') {
    out.negative = true;
    ++p;
  }
  for (; p < res.ptr && *p != 'e'; ++p) {
    if (*p != '.') out.digits.push_back(*p);
  }
  assert(p < res.ptr);
  // The exponent runs to res.ptr (to_chars does not terminate its output): sign, then digits.
  ++p;
  const bool negative_exponent = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  int exponent = 0;
  for (; p < res.ptr; ++p) exponent = exponent * 10 + (*p - '0');
  out.exponent = negative_exponent ? -exponent : exponent;
  return out;
}

std::string non_finite_text(double value) {
  if (std::isnan(value)) return "NaN";
  return value < 0 ? "-inf" : "inf";
}

std::string positional(const ShortestDigits& d) {
  std::string out = d.negative ? "-" : "";
  const int n = static_cast<int>(d.digits.size());
  if (d.exponent >= n - 1) {
    out += d.digits;
    out.append(static_cast<size_t>(d.exponent - (n - 1)), '0');
  } else if (d.exponent < 0) {
    out += "0.";
    out.append(static_cast<size_t>(-d.exponent - 1), '0');
    out += d.digits;
  } else {
    out.append(d.digits, 0, static_cast<size_t>(d.exponent + 1));
    out += '.';
    out.append(d.digits, static_cast<size_t>(d.exponent + 1), std::string::npos);
  }
  return out;
}

template <class T>
std::string scientific6_impl(T value) {
  if (!std::isfinite(value)) return non_finite_text(static_cast<double>(value));
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 6);
  assert(res.ec == std::errc());
  std::string text(buf, res.ptr);
  const size_t e = text.find('e');
  assert(e != std::string::npos);
  const int exponent = std::atoi(text.c_str() + e + 1);
  text.resize(e + 1);
  text += std::to_string(exponent);
  return text;
}

}  // namespace

ShortestDigits shortest_digits(float value) { return shortest_digits_impl(value); }
ShortestDigits shortest_digits(double value) { return shortest_digits_impl(value); }

std::string format_message_number(float value) {
  if (!std::isfinite(value)) return non_finite_text(static_cast<double>(value));
  return positional(shortest_digits(value));
}

std::string format_message_number(double value) {
  if (!std::isfinite(value)) return non_finite_text(value);
  return positional(shortest_digits(value));
}

std::string format_scientific6(float value) { return scientific6_impl(value); }
std::string format_scientific6(double value) { return scientific6_impl(value); }

}  // namespace fenro::error
