#include "fenro/json/reader.h"

#include <cassert>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace fenro::json {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four hex digits at s[p..p+4), or -1.
long hex4(std::string_view s, size_t p) {
  if (p + 4 > s.size()) return -1;
  long v = 0;
  for (size_t i = 0; i < 4; ++i) {
    const int h = hex_value(s[p + i]);
    if (h < 0) return -1;
    v = v * 16 + h;
  }
  return v;
}

// Length of the well-formed UTF-8 sequence of two to four bytes starting at s[p], or 0. Rejects
// overlong forms, UTF-16 surrogates (U+D800..U+DFFF) and code points above U+10FFFF.
size_t utf8_length(std::string_view s, size_t p) {
  const auto byte = [&](size_t i) -> unsigned {
    return p + i < s.size() ? static_cast<unsigned char>(s[p + i]) : 0u;
  };
  const unsigned c = byte(0);
  unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  size_t len;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (byte(1) < lo || byte(1) > hi) return 0;
  for (size_t i = 2; i < len; ++i) {
    if (!is_continuation(static_cast<unsigned char>(byte(i)))) return 0;
  }
  return len;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

const char* kind_text(Kind k) {
  switch (k) {
    case Kind::Null: return "null";
    case Kind::Boolean: return "a boolean";
    case Kind::Number: return "a number";
    case Kind::String: return "a string";
    case Kind::Array: return "an array";
    case Kind::Object: return "an object";
    case Kind::Invalid: break;
  }
  return "an invalid value";
}

}  // namespace

float parse_float(std::string_view t) {
  float v = 0.0f;
  const auto res = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
  if (res.ec == std::errc()) {
    assert(res.ptr == t.data() + t.size());
    return v;
  }
  // Out of range: the correctly rounded result is an infinity or a zero; from_chars leaves the
  // value unset, so decide by the decimal exponent of the first significant digit. Any nonzero
  // decimal that rounds out of range with that exponent >= 0 is huge, otherwise tiny.
  assert(res.ec == std::errc::result_out_of_range);
  size_t p = 0;
  const bool negative = t[p] == '-';
  if (negative) ++p;
  long long exponent = 0;
  bool found = false;
  size_t int_digits = 0;
  for (; p < t.size() && is_digit(t[p]); ++p) {
    if (!found && t[p] != '0') {
      found = true;
      exponent = -static_cast<long long>(int_digits);
    }
    ++int_digits;
  }
  // From here exponent is "minus the index of the first significant integer digit"; turn it
  // into that digit's power of ten.
  if (found) exponent += static_cast<long long>(int_digits) - 1;
  if (p < t.size() && t[p] == '.') {
    ++p;
    for (long long j = 1; p < t.size() && is_digit(t[p]); ++p, ++j) {
      if (!found && t[p] != '0') {
        found = true;
        exponent = -j;
      }
    }
  }
  assert(found);
  if (p < t.size() && (t[p] == 'e' || t[p] == 'E')) {
    ++p;
    bool exp_negative = false;
    if (t[p] == '+' || t[p] == '-') exp_negative = t[p++] == '-';
    long long e = 0;
    for (; p < t.size() && is_digit(t[p]); ++p) {
      if (e < 1000000000) e = e * 10 + (t[p] - '0');  // saturates far beyond any float range
    }
    exponent += exp_negative ? -e : e;
  }
  const float magnitude = exponent >= 0 ? std::numeric_limits<float>::infinity() : 0.0f;
  return negative ? -magnitude : magnitude;
}

void Reader::skip_whitespace() {
  while (pos_ < text_.size()) {
    const char c = text_[pos_];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
    ++pos_;
  }
}

std::string Reader::position_suffix(size_t offset) const {
  if (text_.empty()) return " at line 1 column 0";
  if (offset >= text_.size()) offset = text_.size() - 1;
  size_t line = 1, line_start = 0;
  for (size_t i = 0; i < offset; ++i) {
    if (text_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  size_t column = 1;
  for (size_t i = line_start; i < offset; ++i) {
    if (!is_continuation(static_cast<unsigned char>(text_[i]))) ++column;
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

bool Reader::fail_at(size_t offset, std::string_view what) {
  if (failed_) return false;
  failed_ = true;
  message_.assign(what);
  message_ += position_suffix(offset);
  return false;
}

bool Reader::fail(std::string_view what) { return fail_at(pos_ == 0 ? 0 : pos_ - 1, what); }

std::string Reader::error(std::string_view what) const {
  return std::string(what) + position_suffix(pos_ == 0 ? 0 : pos_ - 1);
}

Kind Reader::peek() {
  skip_whitespace();
  if (pos_ >= text_.size()) return Kind::Invalid;
  switch (text_[pos_]) {
    case '{': return Kind::Object;
    case '[': return Kind::Array;
    case '"': return Kind::String;
    case 't':
    case 'f': return Kind::Boolean;
    case 'n': return Kind::Null;
    case '-': return Kind::Number;
    default: return is_digit(text_[pos_]) ? Kind::Number : Kind::Invalid;
  }
}

bool Reader::fail_syntax_at_value() {
  if (pos_ >= text_.size()) return fail_at(pos_, "unexpected end of input");
  return fail_at(pos_, "expected a value");
}

bool Reader::type_error(std::string_view expected) {
  const size_t start = pos_;
  const Kind k = peek();
  if (k == Kind::Invalid) return fail_syntax_at_value();
  std::string found = kind_text(k);
  if (k == Kind::Number) {
    size_t b, e;
    if (!scan_number(b, e)) return false;
    found = "the number " + std::string(text_.substr(b, e - b));
  } else if (!skip_value()) {
    return false;
  }
  return fail_at(start, "expected " + std::string(expected) + ", found " + found);
}

bool Reader::fail_too_deep(size_t at) {
  return fail_at(at, "nesting deeper than " + std::to_string(kMaxDepth) + " levels");
}

bool Reader::enter(size_t at) {
  if (depth_ >= kMaxDepth) return fail_too_deep(at);
  ++depth_;
  return true;
}

bool Reader::scan_literal(std::string_view word) {
  for (size_t i = 0; i < word.size(); ++i) {
    if (pos_ + i >= text_.size()) return fail_at(pos_ + i, "unexpected end of input");
    if (text_[pos_ + i] != word[i]) return fail_at(pos_ + i, "invalid literal");
  }
  pos_ += word.size();
  return true;
}

bool Reader::scan_number(size_t& begin, size_t& end) {
  const std::string_view s = text_;
  size_t p = pos_;
  const auto digit_at = [&](size_t i) { return i < s.size() && is_digit(s[i]); };
  if (p < s.size() && s[p] == '-') ++p;
  if (p < s.size() && s[p] == '0') {
    ++p;
  } else if (digit_at(p)) {
    while (digit_at(p)) ++p;
  } else {
    return fail_at(p, "invalid number");
  }
  if (p < s.size() && s[p] == '.') {
    ++p;
    if (!digit_at(p)) return fail_at(p, "invalid number");
    while (digit_at(p)) ++p;
  }
  if (p < s.size() && (s[p] == 'e' || s[p] == 'E')) {
    ++p;
    if (p < s.size() && (s[p] == '+' || s[p] == '-')) ++p;
    if (!digit_at(p)) return fail_at(p, "invalid number");
    while (digit_at(p)) ++p;
  }
  begin = pos_;
  end = p;
  pos_ = p;
  return true;
}

bool Reader::scan_string(std::string* out) {
  const std::string_view s = text_;
  assert(pos_ < s.size() && s[pos_] == '"');
  size_t p = pos_ + 1;
  for (;;) {
    const size_t run = p;
    while (p < s.size()) {
      const auto c = static_cast<unsigned char>(s[p]);
      if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
      ++p;
    }
    if (out) out->append(s.data() + run, p - run);
    if (p >= s.size()) return fail_at(p, "unexpected end of input in a string");
    const auto c = static_cast<unsigned char>(s[p]);
    if (c == '"') {
      pos_ = p + 1;
      return true;
    }
    if (c < 0x20) return fail_at(p, "control character in a string");
    if (c >= 0x80) {
      const size_t len = utf8_length(s, p);
      if (len == 0) return fail_at(p, "invalid UTF-8 in a string");
      if (out) out->append(s.data() + p, len);
      p += len;
      continue;
    }
    // Backslash escape.
    const size_t escape = p;
    if (++p >= s.size()) return fail_at(p, "unexpected end of input in a string");
    char decoded = 0;
    switch (s[p]) {
      case '"': decoded = '"'; break;
      case '\\': decoded = '\\'; break;
      case '/': decoded = '/'; break;
      case 'b': decoded = '\b'; break;
      case 'f': decoded = '\f'; break;
      case 'n': decoded = '\n'; break;
      case 'r': decoded = '\r'; break;
      case 't': decoded = '\t'; break;
      case 'u': {
        long cp = hex4(s, p + 1);
        if (cp < 0) return fail_at(escape, "invalid \\u escape");
        p += 5;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_at(escape, "unpaired surrogate in a \\u escape");
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          const long low =
              p + 1 < s.size() && s[p] == '\\' && s[p + 1] == 'u' ? hex4(s, p + 2) : -1;
          if (low < 0xDC00 || low > 0xDFFF) {
            return fail_at(escape, "unpaired surrogate in a \\u escape");
          }
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          p += 6;
        }
        if (out) append_utf8(*out, static_cast<uint32_t>(cp));
        continue;
      }
      default: return fail_at(escape, "invalid escape in a string");
    }
    if (out) out->push_back(decoded);
    ++p;
  }
}

bool Reader::read_null(std::string_view expected) {
  if (failed_) return false;
  if (peek() != Kind::Null) return type_error(expected);
  return scan_literal("null");
}

bool Reader::read_bool(bool& out, std::string_view expected) {
  if (failed_) return false;
  if (peek() != Kind::Boolean) return type_error(expected);
  const bool value = text_[pos_] == 't';
  if (!scan_literal(value ? "true" : "false")) return false;
  out = value;
  return true;
}

bool Reader::read_float(float& out, std::string_view expected) {
  if (failed_) return false;
  if (peek() != Kind::Number) return type_error(expected);
  size_t b, e;
  if (!scan_number(b, e)) return false;
  out = parse_float(text_.substr(b, e - b));
  return true;
}

bool Reader::read_uint64(uint64_t& out, std::string_view expected) {
  if (failed_) return false;
  if (peek() != Kind::Number) return type_error(expected);
  const size_t start = pos_;
  size_t b, e;
  if (!scan_number(b, e)) return false;
  const std::string_view t = text_.substr(b, e - b);
  const auto bad = [&] {
    return fail_at(start, "expected " + std::string(expected) + ", found the number " +
                              std::string(t));
  };
  if (t == "-0") {
    out = 0;
    return true;
  }
  uint64_t v = 0;
  for (const char c : t) {
    if (!is_digit(c)) return bad();
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return bad();
    v = v * 10 + d;
  }
  out = v;
  return true;
}

bool Reader::read_string(std::string& out, std::string_view expected) {
  if (failed_) return false;
  if (peek() != Kind::String) return type_error(expected);
  out.clear();
  return scan_string(&out);
}

bool Reader::begin_object(std::string_view expected) {
  if (failed_) return false;
  if (peek() != Kind::Object) return type_error(expected);
  if (!enter(pos_)) return false;
  ++pos_;
  first_ = true;
  return true;
}

bool Reader::next_member(std::string& name) {
  if (!next_item('}', "expected `,` or `}`")) return false;
  skip_whitespace();
  name.clear();
  return scan_member_name(&name);
}

// At a member name (whitespace skipped): scans the name, decoded into `out` unless it is null,
// and the ":" after it.
bool Reader::scan_member_name(std::string* out) {
  if (pos_ >= text_.size()) return fail_at(pos_, "unexpected end of input");
  if (text_[pos_] != '"') return fail_at(pos_, "expected a member name");
  if (!scan_string(out)) return false;
  skip_whitespace();
  if (pos_ >= text_.size()) return fail_at(pos_, "unexpected end of input");
  if (text_[pos_] != ':') return fail_at(pos_, "expected `:`");
  ++pos_;
  return true;
}

bool Reader::begin_array(std::string_view expected) {
  if (failed_) return false;
  if (peek() != Kind::Array) return type_error(expected);
  if (!enter(pos_)) return false;
  ++pos_;
  first_ = true;
  return true;
}

bool Reader::next_element() { return next_item(']', "expected `,` or `]`"); }

// Shared by next_member and next_element: consumes the container's closing character (false)
// or the "," before every item but the first (true).
bool Reader::next_item(char close, std::string_view expected_separator) {
  if (failed_) return false;
  assert(depth_ > 0);
  skip_whitespace();
  if (pos_ >= text_.size()) return fail_at(pos_, "unexpected end of input");
  if (text_[pos_] == close) {
    ++pos_;
    --depth_;
    first_ = false;
    return false;
  }
  if (!first_) {
    if (text_[pos_] != ',') return fail_at(pos_, expected_separator);
    ++pos_;
  }
  first_ = false;
  return true;
}

bool Reader::skip_value() {
  if (failed_) return false;
  // closers[i] is the bracket that ends the i-th container opened by this call.
  char closers[kMaxDepth];
  int open = 0;
  const int base = depth_;
  for (;;) {
    // A value is expected here.
    switch (peek()) {
      case Kind::Object:
      case Kind::Array: {
        if (base + open >= kMaxDepth) return fail_too_deep(pos_);
        const bool object = text_[pos_] == '{';
        closers[open++] = object ? '}' : ']';
        ++pos_;
        skip_whitespace();
        if (pos_ < text_.size() && text_[pos_] == closers[open - 1]) {
          ++pos_;
          --open;  // an empty container is a complete value
        } else if (object) {
          if (!scan_member_name(nullptr)) return false;
          continue;
        } else {
          continue;
        }
        break;
      }
      case Kind::String:
        if (!scan_string(nullptr)) return false;
        break;
      case Kind::Number: {
        size_t b, e;
        if (!scan_number(b, e)) return false;
        break;
      }
      case Kind::Boolean:
        if (!scan_literal(text_[pos_] == 't' ? "true" : "false")) return false;
        break;
      case Kind::Null:
        if (!scan_literal("null")) return false;
        break;
      case Kind::Invalid: return fail_syntax_at_value();
    }
    // A value just ended: close containers or move to their next item.
    for (;;) {
      if (open == 0) return true;
      skip_whitespace();
      if (pos_ >= text_.size()) return fail_at(pos_, "unexpected end of input");
      const char closer = closers[open - 1];
      if (text_[pos_] == closer) {
        ++pos_;
        --open;
        continue;
      }
      if (text_[pos_] != ',') {
        return fail_at(pos_, closer == '}' ? "expected `,` or `}`" : "expected `,` or `]`");
      }
      ++pos_;
      if (closer == '}') {
        skip_whitespace();
        if (!scan_member_name(nullptr)) return false;
      }
      break;
    }
  }
}

bool Reader::finish() {
  if (failed_) return false;
  skip_whitespace();
  if (pos_ < text_.size()) return fail_at(pos_, "trailing characters");
  return true;
}

}  // namespace fenro::json
