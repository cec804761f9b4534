#include "fenro/json/writer.h"

#include <charconv>
#include <cmath>

#include "fenro/error/number_text.h"

namespace fenro::json {

void write_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  size_t run = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    out.push_back('\\');
    switch (c) {
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case '\b': out.push_back('b'); break;
      case '\t': out.push_back('t'); break;
      case '\n': out.push_back('n'); break;
      case '\f': out.push_back('f'); break;
      case '\r': out.push_back('r'); break;
      default:
        out += "u00";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(s.data() + run, s.size() - run);
  out.push_back('"');
}

void write_float(std::string& out, float value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  const error::ShortestDigits d = error::shortest_digits(value);
  if (d.negative) out.push_back('-');
  const int n = static_cast<int>(d.digits.size());
  const int e = d.exponent;
  if (e < -6 || e > 12) {
    out.push_back(d.digits[0]);
    if (n > 1) {
      out.push_back('.');
      out.append(d.digits, 1, std::string::npos);
    }
    out.push_back('e');
    out.push_back(e < 0 ? '-' : '+');
    out += std::to_string(e < 0 ? -e : e);
  } else if (e >= n - 1) {
    out += d.digits;
    out.append(static_cast<size_t>(e - (n - 1)), '0');
    out += ".0";
  } else if (e < 0) {
    out += "0.";
    out.append(static_cast<size_t>(-e - 1), '0');
    out += d.digits;
  } else {
    out.append(d.digits, 0, static_cast<size_t>(e + 1));
    out.push_back('.');
    out.append(d.digits, static_cast<size_t>(e + 1), std::string::npos);
  }
}

void write_uint64(std::string& out, uint64_t value) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

}  // namespace fenro::json
