// Number texts shared by error messages and the JSON writer.
//
// Both build on the shortest round-trip decimal digits of a value: the shortest digit string
// that reads back as the same value at its own precision (32 or 64 bits), the closest one where
// several of that length qualify. They differ only in layout.
#ifndef FENRO_ERROR_NUMBER_TEXT_H_
#define FENRO_ERROR_NUMBER_TEXT_H_

#include <string>

namespace fenro::error {

// Shortest round-trip digits of a finite value: value = ±d1.d2d3... × 10^exponent.
// Zero has digits "0" and exponent 0. Negative zero sets `negative`.
struct ShortestDigits {
  bool negative = false;
  std::string digits;
  int exponent = 0;
};
ShortestDigits shortest_digits(float value);
ShortestDigits shortest_digits(double value);

// Message form: shortest digits in positional notation, never an exponent. Whole values have
// no fractional part ("1", "3000000000"), values below one start with "0." ("0.0000001"),
// negative values including negative zero start with "-". NaN is "NaN", infinities "inf" and
// "-inf".
std::string format_message_number(float value);
std::string format_message_number(double value);

// Six-digit scientific form: "1.500000e1", "1.230000e-3", "0.000000e0". The exact binary value
// is rounded to six digits after the point, ties to even; the exponent has no "+" and no
// leading zeros. NaN and infinities as in the message form.
std::string format_scientific6(float value);
std::string format_scientific6(double value);

}  // namespace fenro::error

#endif  // FENRO_ERROR_NUMBER_TEXT_H_
