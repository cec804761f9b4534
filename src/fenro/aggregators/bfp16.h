// BFP16: one update as 16-bit signed mantissas sharing one exponent. Krum ranks updates on
// this encoding with exact integer arithmetic.
#ifndef FENRO_AGGREGATORS_BFP16_H_
#define FENRO_AGGREGATORS_BFP16_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "fenro/aggregators/update.h"

namespace fenro::aggregators {

// Allocator of encodings: growing leaves new elements uninitialised. The encoder writes every
// element on the pool, so a zero-fill on the calling thread would be a wasted serial pass (and
// would take all the page faults of the new memory there).
template <class T>
struct EncodingAllocator {
  using value_type = T;
  EncodingAllocator() = default;
  template <class U>
  EncodingAllocator(const EncodingAllocator<U>&) noexcept {}  // NOLINT: rebinding
  T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, size_t n) noexcept { std::allocator<T>().deallocate(p, n); }
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;  // default-initialised: no zero-fill
  }
  template <class U, class... A>
  void construct(U* p, A&&... a) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
  }
  friend bool operator==(const EncodingAllocator&, const EncodingAllocator&) { return true; }
};
using Mantissas = std::vector<int16_t, EncodingAllocator<int16_t>>;

struct Bfp16Vec {
  Mantissas mantissas;  // each in -32767..32767
  int8_t exponent = 0;  // -126..126; value t is mantissas[t] * 2^exponent

  // Encodes `values` in order: exponent from the float32 log2f of the largest magnitude
  // (NaN ignored), mantissas clamped to +-32767 and rounded half away from zero; NaN gives 0.
  // An empty or all-zero input has exponent 0.
  static Bfp16Vec from_f32_slice(std::span<const float> values);
};

// One encoding per update, elements in row-major order.
std::vector<Bfp16Vec> encode_bfp16(std::span<const UpdateView> updates);

}  // namespace fenro::aggregators

#endif  // FENRO_AGGREGATORS_BFP16_H_
