#include "fenro/reputation/store.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <optional>

#include "fenro/error/number_text.h"
#include "fenro/json/reader.h"
#include "fenro/json/writer.h"

namespace fenro::reputation {
namespace {

// True for the values a store may hold: finite and within [0, 1] (NaN fails both tests).
bool storable(float s) { return s >= 0.0f && s <= 1.0f; }

float saturate(float s) {
  if (s < 0.0f) return 0.0f;
  if (s > 1.0f) return 1.0f;
  return s;
}

bool valid_amount(float a) { return std::isfinite(a) && a >= 0.0f; }

// Reads {"id":number,...} into `out`. Later duplicates replace earlier ones. Checks syntax and
// types only.
bool read_scores(json::Reader& reader, ReputationStore::Map& out) {
  if (!reader.begin_object()) return false;
  std::string id;
  float score = 0.0f;
  while (reader.next_member(id)) {
    if (!reader.read_float(score)) return false;
    // Texts this library writes are in ascending id order: appending at the end with a hint
    // makes reading them linear instead of n log n.
    if (out.empty() || out.rbegin()->first < id) {
      out.emplace_hint(out.end(), id, score);
    } else {
      out.insert_or_assign(id, score);
    }
  }
  return !reader.failed();
}

// The range-check message for the first unstorable score in ascending id order, if any: a fixed
// text callers match on.
std::optional<std::string> range_error(const ReputationStore::Map& scores) {
  for (const auto& [id, s] : scores) {
    if (!storable(s)) {
      return "reputation score " + error::format_message_number(s) +
             " is outside the storable range [0, 1]";
    }
  }
  return std::nullopt;
}

}  // namespace

Status check_ban_threshold(float threshold) {
  if (!std::isfinite(threshold) || !storable(threshold)) {
    return error::InvalidReputationThreshold{threshold};
  }
  return {};
}

float ReputationStore::get_score(std::string_view id) const {
  const auto it = scores_.find(id);
  return it == scores_.end() ? kDefaultScore : it->second;
}

Status ReputationStore::set_score(std::string_view id, float s) {
  if (!storable(s)) return error::InvalidReputationScore{s};
  const auto it = scores_.find(id);
  if (it != scores_.end()) {
    it->second = s;
  } else {
    scores_.emplace(std::string(id), s);
  }
  return {};
}

Status ReputationStore::reward(std::string_view id, float a) {
  if (!valid_amount(a)) return error::InvalidReputationAdjustment{a};
  adjust_unchecked(id, a);
  return {};
}

Status ReputationStore::penalize(std::string_view id, float a) {
  if (!valid_amount(a)) return error::InvalidReputationAdjustment{a};
  // s - a and s + (-a) are the same IEEE operation, signed zeros included.
  adjust_unchecked(id, -a);
  return {};
}

void ReputationStore::adjust_unchecked(std::string_view id, float delta) {
  assert(std::isfinite(delta));
  auto it = scores_.find(id);
  if (it == scores_.end()) it = scores_.emplace(std::string(id), kDefaultScore).first;
  it->second = saturate(it->second + delta);
}

bool ReputationStore::is_banned(std::string_view id, float threshold) const {
  return get_score(id) < threshold;
}

std::vector<std::pair<std::string, float>> ReputationStore::active_clients(
    float threshold) const {
  std::vector<std::pair<std::string, float>> out;
  for (const auto& [id, s] : scores_) {
    if (s >= threshold) out.emplace_back(id, s);
  }
  return out;
}

std::vector<float> ReputationStore::scores_in_order() const {
  std::vector<float> out;
  out.reserve(scores_.size());
  for (const auto& entry : scores_) out.push_back(entry.second);
  return out;
}

Status ReputationStore::decay_toward_default(float r) {
  if (!storable(r)) return error::InvalidDecayFactor{r};
  for (auto& entry : scores_) {
    const float s = entry.second;
    float d = kDefaultScore - s;
    d = r * d;
    entry.second = saturate(s + d);
  }
  return {};
}

float ReputationStore::influence_weight(std::string_view id) const {
  const float s = get_score(id);
  const float w = s * (s * s);
  return std::min(w, kInfluenceCap);
}

std::string ReputationStore::to_json() const {
  std::string out;
  write_json(out);
  return out;
}

void ReputationStore::write_json(std::string& out) const {
  // Typical entry: short id, quotes, colon, up to ~12 number characters, comma.
  out.reserve(out.size() + 2 + scores_.size() * 24);
  out.push_back('{');
  bool first = true;
  for (const auto& [id, s] : scores_) {
    if (!first) out.push_back(',');
    first = false;
    json::write_string(out, id);
    out.push_back(':');
    json::write_float(out, s);
  }
  out.push_back('}');
}

std::variant<ReputationStore, std::string> ReputationStore::from_json(std::string_view text) {
  json::Reader reader(text);
  ReputationStore store;
  // Malformed text is reported before the range check: the check needs the whole object, and a
  // text with trailing garbage is not a store at all.
  if (!read_scores(reader, store.scores_) || !reader.finish()) return reader.message();
  if (auto err = range_error(store.scores_)) return *std::move(err);
  return store;
}

std::variant<ReputationStore, std::string> ReputationStore::read_json(json::Reader& reader) {
  ReputationStore store;
  if (!read_scores(reader, store.scores_)) return reader.message();
  if (auto err = range_error(store.scores_)) return reader.error(*err);
  return store;
}

}  // namespace fenro::reputation
