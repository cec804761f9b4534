#include "fenro/error/error.h"

#include "fenro/error/number_text.h"

namespace fenro::error {
namespace {

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

std::string num(float v) { return format_message_number(v); }
std::string num(double v) { return format_message_number(v); }
std::string num(uint64_t v) { return std::to_string(v); }

std::string rule_name(CountRule rule) {
  switch (rule) {
    case CountRule::kBulyan:
      return "bulyan";
    case CountRule::kMeamed:
      return "meamed";
    case CountRule::kNnm:
      return "nnm";
    case CountRule::kArc:
      return "arc";
  }
  return "?";
}

// "<name> = <value> is out of range: <rule> needs <requirement>", the form of every parameter
// message.
std::string out_of_range(const std::string& name, const std::string& value, const std::string& rule,
                         const std::string& requirement) {
  return name + " = " + value + " is out of range: " + rule + " needs " + requirement;
}

}  // namespace

// Every FenroError message template lives here. The library's other fixed texts are no
// FenroErrors and live with what produces them: the method-text failures in
// pipeline/method.cc, the JSON syntax and type messages in json/reader.{h,cc}, the range check
// of a stored score in reputation/store.cc, the aggregator text's field and variant messages in
// pipeline/aggregator_json.cc, the FENRO_SIMD messages that InvalidSimdTarget carries in
// simd/cpu.cc. The binding's own texts are listed in python/errors.h.
std::string FenroError::message() const {
  return std::visit(
      Overloaded{
          [](const EmptyUpdates&) -> std::string { return "Empty updates provided"; },
          [](const DimensionMismatch&) -> std::string { return "Dimension mismatch in updates"; },
          [](const InvalidTrimFraction& e) {
            return "Invalid trim fraction: " + num(e.value) + " (must be 0.0-0.5)";
          },
          [](const InsufficientQuorum& e) {
            return "Insufficient quorum: need " + num(e.need) + ", got " + num(e.got);
          },
          [](const NonFiniteValue& e) {
            return "Non-finite value " + num(e.value) + " in update " + num(e.update) + " at [" +
                   num(e.row) + ", " + num(e.column) + "]";
          },
          [](const NonFiniteWeight& e) {
            return "Non-finite weight " + num(e.value) + " at index " + num(e.index);
          },
          [](const ClientIdCountMismatch& e) {
            return "Client ID count mismatch: " + num(e.updates) + " updates but " +
                   num(e.client_ids) + " client IDs";
          },
          [](const MultiKrumSelectionTooLarge& e) {
            return "Multi-Krum selection m=" + num(e.m) + " exceeds the safe maximum " +
                   num(e.max) + " for " + num(e.n) + " clients with f=" + num(e.f) +
                   " (requires 1 <= m <= n - 2f - 2)";
          },
          [](const AllUpdatesRejected& e) {
            return "all " + num(e.submitted) + " submitted updates were rejected";
          },
          [](const InvalidReputationScore& e) {
            return "invalid reputation score " + num(e.value) +
                   "; expected a finite value in [0, 1]";
          },
          [](const InvalidReputationAdjustment& e) {
            return "invalid reputation adjustment " + num(e.value) +
                   "; expected a finite non-negative value";
          },
          [](const InvalidDecayFactor& e) {
            return "invalid reputation decay factor " + num(e.value) +
                   "; expected a finite value in [0, 1]";
          },
          [](const InvalidReputationThreshold& e) {
            return "invalid reputation threshold " + num(e.value) +
                   "; expected a finite value in [0, 1]";
          },
          [](const NonFiniteReputationDistance& e) {
            return "non-finite reputation distance " + num(e.distance) + " for client " + e.client;
          },
          [](const WeightsRequireFedAvg& e) {
            return "weights are only supported by FedAvg, not " + e.method;
          },
          [](const NormBoundExceeded& e) {
            return "update norm " + format_scientific6(e.norm) + " exceeds bound " +
                   format_scientific6(e.bound);
          },
          [](const InvalidNormBound& e) {
            return "Invalid norm bound: " + num(e.value) + " (must be finite and > 0)";
          },
          [](const ArrayShape& e) { return "Array shape error: " + e.detail; },
          [](const InvalidSimdTarget& e) { return e.message; },
          [](const ByzantineCountOutOfRange& e) {
            const char* bound = e.rule == CountRule::kBulyan ? "n >= 4f + 3" : "2f < n";
            return out_of_range("f", num(e.f), rule_name(e.rule),
                                std::string(bound) + " (n = " + num(e.n) + ")");
          },
          [](const RealParameterOutOfRange& e) {
            std::string need;
            switch (e.range) {
              case RealRange::kFinitePositive:
                need = "a finite " + e.name + " > 0";
                break;
              case RealRange::kPositive:
                need = e.name + " > 0 (inf allowed)";
                break;
              case RealRange::kFiniteNonNegative:
                need = "a finite " + e.name + " >= 0";
                break;
            }
            return out_of_range(e.name, num(e.value), e.rule, need);
          },
          [](const CountParameterOutOfRange& e) {
            return out_of_range(e.name, num(e.value), e.rule, e.name + " >= " + num(e.min));
          },
          [](const NegativeWeight& e) {
            return out_of_range("weights[" + num(e.index) + "]", num(e.value), e.rule,
                                "weights >= 0");
          },
          [](const ZeroWeights& e) {
            return "weights are all zero: " + e.rule + " needs at least one weight > 0";
          },
          [](const CenterShapeMismatch& e) {
            return "center has shape (" + num(e.rows) + ", " + num(e.cols) +
                   ") but the updates have shape (" + num(e.expected_rows) + ", " +
                   num(e.expected_cols) + ")";
          },
          [](const NonFiniteCenterValue& e) {
            return "Non-finite value " + num(e.value) + " in center at [" + num(e.row) + ", " +
                   num(e.column) + "]";
          },
          [](const SourceFailed& e) { return e.what; },
      },
      v_);
}

}  // namespace fenro::error
