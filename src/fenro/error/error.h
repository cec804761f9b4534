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

// Parameters of the robust rules and pre-aggregators. Every message names the parameter, its
// value and the range the rule accepts: "<name> = <value> is out of range: <rule> needs ...".

// The rules that take a count f of tolerated Byzantine clients, and the bound each puts on it.
enum class CountRule : uint8_t { kBulyan, kMeamed, kNnm, kArc };
struct ByzantineCountOutOfRange {
  CountRule rule;  // bulyan: n >= 4f + 3; the others: 2f < n
  uint64_t f;
  uint64_t n;
};
// The range a real parameter must lie in.
enum class RealRange : uint8_t {
  kFinitePositive,     // finite and > 0
  kPositive,           // > 0, +inf allowed
  kFiniteNonNegative,  // finite and >= 0
};
struct RealParameterOutOfRange {
  std::string rule;  // the function's name, e.g. "geometric_median"
  std::string name;  // the parameter's name, e.g. "nu"
  double value;
  RealRange range;
};
struct CountParameterOutOfRange {
  std::string rule;
  std::string name;
  uint64_t value;
  uint64_t min;  // the smallest accepted value
};
struct NegativeWeight {
  std::string rule;
  float value;
  uint64_t index;
};
struct ZeroWeights {
  std::string rule;
};
struct CenterShapeMismatch {
  uint64_t rows;
  uint64_t cols;
  uint64_t expected_rows;
  uint64_t expected_cols;
};
struct NonFiniteCenterValue {
  float value;
  uint64_t row;
  uint64_t column;
};
// A round whose updates live elsewhere could not be completed: a worker was lost, did not
// answer in time, or answered nonsense. Not an input error: the same round may succeed later.
struct SourceFailed {
  std::string what;
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
                   InvalidNormBound, ArrayShape, InvalidSimdTarget, ByzantineCountOutOfRange,
                   RealParameterOutOfRange, CountParameterOutOfRange, NegativeWeight,
                   ZeroWeights, CenterShapeMismatch, NonFiniteCenterValue, SourceFailed>;

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
