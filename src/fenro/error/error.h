// FenroError: the library's one error type. Every variant renders to one fixed English
// sentence; that sentence is what Python callers receive as a ValueError message, so the
// templates in error.cc are a contract, not decoration.
#ifndef FENRO_ERROR_ERROR_H_
#define FENRO_ERROR_ERROR_H_

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace fenro::error {

// One struct per variant, fields in declaration order.
struct EmptyUpdates {};
struct DimensionMismatch {};
struct InvalidTrimFraction {
  float value;
};
struct InsufficientQuorum {
  uint64_t need;
  uint64_t got;
};
struct NonFiniteValue {
  float value;
  uint64_t update;
  uint64_t row;
  uint64_t column;
};
struct NonFiniteWeight {
  float value;
  uint64_t index;
};
struct ClientIdCountMismatch {
  uint64_t updates;
  uint64_t client_ids;
};
struct MultiKrumSelectionTooLarge {
  uint64_t n;
  uint64_t f;
  uint64_t m;
  uint64_t max;
};
struct AllUpdatesRejected {
  uint64_t submitted;
};
struct InvalidReputationScore {
  float value;
};
struct InvalidReputationAdjustment {
  float value;
};
struct InvalidDecayFactor {
  float value;
};
struct InvalidReputationThreshold {
  float value;
};
struct NonFiniteReputationDistance {
  double distance;
  std::string client;
};
struct WeightsRequireFedAvg {
  std::string method;  // debug text of the configured method, e.g. "Krum(3)"
};
struct NormBoundExceeded {
  float bound;
  double norm;
};
struct InvalidNormBound {
  float value;
};
struct ArrayShape {
  std::string detail;
};
// FENRO_SIMD names no target or one the CPU lacks. The sentence comes whole from
// simd::choose_target, which reads the variable (that folder sits beside this one, not above).
struct InvalidSimdTarget {
  std::string message;
};

class FenroError {
 public:
  using Variant =
      std::variant<EmptyUpdates, DimensionMismatch, InvalidTrimFraction,
                   InsufficientQuorum, NonFiniteValue, NonFiniteWeight,
                   ClientIdCountMismatch, MultiKrumSelectionTooLarge,
                   AllUpdatesRejected, InvalidReputationScore,
                   InvalidReputationAdjustment, InvalidDecayFactor,
                   InvalidReputationThreshold, NonFiniteReputationDistance,
                   WeightsRequireFedAvg, NormBoundExceeded,
                   InvalidNormBound, ArrayShape, InvalidSimdTarget>;

  template <class T, class = std::enable_if_t<std::is_constructible_v<Variant, T&&>>>
  FenroError(T&& v) : v_(std::forward<T>(v)) {}  // NOLINT: implicit by design

  const Variant& variant() const { return v_; }
  template <class T>
  const T* get_if() const {
    return std::get_if<T>(&v_);
  }
  template <class T>
  bool is() const {
    return std::holds_alternative<T>(v_);
  }

  // Renders the error's sentence. Cannot fail, has no side effects.
  std::string message() const;

 private:
  Variant v_;
};

}  // namespace fenro::error

#endif  // FENRO_ERROR_ERROR_H_
