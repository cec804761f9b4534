// JSON writing: appends strings and numbers in the library's one canonical form, so that every
// text it writes is byte-for-byte predictable and reads back to the same values.
#ifndef FENRO_JSON_WRITER_H_
#define FENRO_JSON_WRITER_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace fenro::json {

// Appends `s` (UTF-8 bytes, written as given) in quotation marks. Escaped: '"' and '\' with a
// backslash; U+0008, U+0009, U+000A, U+000C, U+000D as \b \t \n \f \r; every other byte below
// 0x20 as \u00xx with lowercase hex digits. Everything else, U+007F, "/" and non-ASCII
// included, is copied unchanged.
void write_string(std::string& out, std::string_view s);

// Appends a float32 as a JSON number, or null when it is NaN or infinite. The digits are the
// shortest ones that read back as the same float32. With E the decimal exponent of the first
// significant digit: for -6 <= E <= 12 plain decimal notation, whole numbers ending in ".0"
// ("1.0", "0.0", "-0.0", "0.000001"); otherwise d[.ddd]e±X without leading zeros in X ("1e-7",
// "1.5e-7", "1e+13").
void write_float(std::string& out, float value);

// Appends plain decimal digits.
void write_uint64(std::string& out, uint64_t value);

}  // namespace fenro::json

#endif  // FENRO_JSON_WRITER_H_
