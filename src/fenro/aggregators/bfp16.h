// BFP16: one update as 16-bit signed mantissas sharing one exponent. Krum ranks updates on
// this encoding with exact integer arithmetic.
#ifndef FENRO_AGGREGATORS_BFP16_H_
#define FENRO_AGGREGATORS_BFP16_H_

#include <cstdint>
#include <span>
#include <vector>

#include "fenro/update/update.h"

namespace fenro::aggregators {

struct Bfp16Vec {
  std::vector<int16_t> mantissas;  // each in -32767..32767
  int8_t exponent = 0;             // -126..126; value t is mantissas[t] * 2^exponent

  // Encodes `values` in order: exponent from the float32 log2f of the largest magnitude
  // (NaN ignored), mantissas clamped to +-32767 and rounded half away from zero; NaN gives 0.
  // An empty or all-zero input has exponent 0.
  static Bfp16Vec from_f32_slice(std::span<const float> values);
};

// One encoding per update, elements in row-major order.
std::vector<Bfp16Vec> encode_bfp16(std::span<const UpdateView> updates);

}  // namespace fenro::aggregators

#endif  // FENRO_AGGREGATORS_BFP16_H_
