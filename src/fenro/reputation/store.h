// ReputationStore: one trust score per client id. Scores are finite float32 values in [0, 1];
// a client the store does not hold reads as 0.5. Ids are UTF-8 byte strings (NUL bytes
// allowed), ordered byte-wise with the shorter first on a common prefix; every iteration
// follows that order. Every failing operation leaves the store exactly as it was.
#ifndef FENRO_REPUTATION_STORE_H_
#define FENRO_REPUTATION_STORE_H_

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "fenro/error/result.h"

namespace fenro::json {
class Reader;
}  // namespace fenro::json

namespace fenro::reputation {

// A ban threshold must be finite and within [0, 1]; otherwise InvalidReputationThreshold.
// Clients scoring strictly below a valid threshold are banned (is_banned).
Status check_ban_threshold(float threshold);

class ReputationStore {
 public:
  static constexpr float kDefaultScore = 0.5f;
  static constexpr float kInfluenceCap = 0.8f;
  // std::less<> compares std::string byte-wise as unsigned chars and allows lookups by
  // string_view without allocating.
  using Map = std::map<std::string, float, std::less<>>;

  // The stored score, else 0.5. Never inserts.
  float get_score(std::string_view id) const;
  // Fails with InvalidReputationScore unless 0 <= s <= 1 and finite.
  Status set_score(std::string_view id, float s);
  // Fail with InvalidReputationAdjustment unless a is finite and >= 0 (-0.0 passes). On
  // success insert 0.5 for a new id, add (subtract) a in float32, saturate to [0, 1].
  Status reward(std::string_view id, float a);
  Status penalize(std::string_view id, float a);
  // Adds `delta` (either sign) the way reward/penalize do, without checking the amount. Used by
  // the post-round update with its fixed amounts.
  void adjust_unchecked(std::string_view id, float delta);
  // Score strictly below the threshold.
  bool is_banned(std::string_view id, float threshold) const;
  // Stored entries with score >= threshold, ascending id order.
  std::vector<std::pair<std::string, float>> active_clients(float threshold) const;
  const Map& all_scores() const { return scores_; }
  // Every stored score in ascending id order.
  std::vector<float> scores_in_order() const;
  void reset() { scores_.clear(); }
  // Fails with InvalidDecayFactor unless 0 <= r <= 1 and finite; otherwise every score s
  // becomes s + r * (0.5 - s) (three separately rounded float32 steps), saturated to [0, 1].
  Status decay_toward_default(float r);
  // min(s * (s * s), 0.8) in float32.
  float influence_weight(std::string_view id) const;

  // The JSON text form: {"id":score,...} in id order, no whitespace.
  std::string to_json() const;
  void write_json(std::string& out) const;
  // Reads the text form. On failure returns the reader's message (with its position suffix
  // " at line L column C" for syntax and type errors; the range-check message alone).
  static std::variant<ReputationStore, std::string> from_json(std::string_view text);
  // Reads the text form embedded in a larger text, at the reader's position, leaving the
  // reader after the object's "}". Syntax and type errors return the reader's message; a score
  // outside [0, 1] returns the range-check message with the position of that "}".
  static std::variant<ReputationStore, std::string> read_json(json::Reader& reader);

 private:
  Map scores_;
};

}  // namespace fenro::reputation

#endif  // FENRO_REPUTATION_STORE_H_
