// Reader: a pull reader over one strict JSON text (no comments, no trailing commas, no NaN or
// Infinity literals). The caller walks the text value by value: objects member by member,
// arrays element by element, skipping whatever it does not know.
//
// Errors are sticky. The first failure records one message, "<what> at line L column C", and
// every later call returns false without reading further. The messages are fixed texts that
// callers match on (they reach Python as ValueError unchanged). Positions:
//  - the line counts from 1 and goes up after every line feed;
//  - the column counts characters (UTF-8 sequences count once) from 1 on that line, and names
//    the character at which reading stopped: the offending character of a syntax error, the
//    first character of a value of the wrong type, the last character read for a check the
//    caller makes (`error`, `fail`). At the end of the input it names the last character
//    (line 1 column 0 for an empty text).
//
// Limits: containers nest at most kMaxDepth levels, counting every open object and array
// including the outermost, also inside skipped values; deeper input fails with a message
// instead of exhausting the stack. Nothing here recurses.
//
// Numbers: every JSON number is rounded once, directly from its decimal text, to the nearest
// float32 (ties to even); a magnitude that rounds beyond the largest float32 becomes an
// infinity, one that rounds below the smallest subnormal a zero, each with the number's sign.
#ifndef FENRO_JSON_READER_H_
#define FENRO_JSON_READER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fenro::json {

// What the next value is, judged by its first character. Invalid: end of input or a
// character that starts no JSON value.
enum class Kind { Null, Boolean, Number, String, Array, Object, Invalid };

class Reader {
 public:
  static constexpr int kMaxDepth = 256;

  // The reader keeps a view of `text`: the text must outlive it. A temporary string would not,
  // so that overload is deleted.
  explicit Reader(std::string_view text) : text_(text) {}
  explicit Reader(const char* text) : text_(text) {}
  explicit Reader(std::string&& text) = delete;

  // Skips whitespace and classifies the next value without consuming it.
  Kind peek();

  // Typed reads of the next value. When the value has another type, the value is first checked
  // for well-formedness (a syntax error wins) and then the read fails with
  // "expected <expected>, found <what>" positioned at the value's first character.
  bool read_null(std::string_view expected = "null");
  bool read_bool(bool& out, std::string_view expected = "a boolean");
  // Any JSON number, rounded once to float32 (see above).
  bool read_float(float& out, std::string_view expected = "a number");
  // A JSON integer from 0 to 2^64 - 1 ("-0" reads as 0); no fraction, no exponent.
  bool read_uint64(uint64_t& out, std::string_view expected = "an unsigned 64-bit integer");
  // A string with its escapes decoded into UTF-8 (may contain NUL bytes). Raw bytes must be
  // well-formed UTF-8 (no surrogates, nothing above U+10FFFF, no overlong forms); a \u escape
  // of a high surrogate must be followed by one of a low surrogate.
  bool read_string(std::string& out, std::string_view expected = "a string");
  // Reads over one well-formed value of any kind, iteratively.
  bool skip_value();

  // Consumes "{". Then call next_member until it returns false: true means a member follows,
  // its decoded name is in `name` and the ":" is consumed, so the caller must read or skip the
  // value next; false means the object's "}" was consumed, or reading failed (see failed()).
  bool begin_object(std::string_view expected = "an object");
  bool next_member(std::string& name);
  // The same for arrays: next_element returns true when a value follows, false at "]" or on
  // failure.
  bool begin_array(std::string_view expected = "an array");
  bool next_element();

  // Checks that only whitespace remains. Fails with "trailing characters" otherwise.
  bool finish();

  // The caller's own check failed: records `what` with the position of the last character
  // read and returns false. Does nothing more after an earlier failure.
  bool fail(std::string_view what);
  // `what` with the position suffix of the last character read, without recording anything.
  std::string error(std::string_view what) const;

  bool failed() const { return failed_; }
  // The recorded message (empty while nothing has failed).
  const std::string& message() const { return message_; }

  // Containers currently open.
  int depth() const { return depth_; }
  // Offset of the next unread byte.
  size_t offset() const { return pos_; }

 private:
  void skip_whitespace();
  bool next_item(char close, std::string_view expected_separator);
  bool scan_member_name(std::string* out);
  bool fail_at(size_t offset, std::string_view what);
  bool fail_syntax_at_value();
  bool type_error(std::string_view expected);
  bool fail_too_deep(size_t at);
  bool enter(size_t at);
  // Scans a string starting at its opening quote; appends the decoded text to `out` unless it
  // is null.
  bool scan_string(std::string* out);
  bool scan_literal(std::string_view word);
  // Validates a number's grammar; on success [begin, end) spans its text.
  bool scan_number(size_t& begin, size_t& end);
  std::string position_suffix(size_t offset) const;

  std::string_view text_;
  size_t pos_ = 0;
  int depth_ = 0;
  // True right after begin_object/begin_array: the next item needs no leading ",".
  bool first_ = false;
  bool failed_ = false;
  std::string message_;
};

// Rounds the text of a JSON number (already known to match the JSON grammar) to float32 as
// described above.
float parse_float(std::string_view number_text);

}  // namespace fenro::json

#endif  // FENRO_JSON_READER_H_
