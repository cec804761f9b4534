// The aggregator's persisted JSON text: writing, and the tolerant reader with its checks in
// text order. The text written and every failure message below are fixed texts that stored
// files and callers rely on.
#include <array>
#include <limits>
#include <string>

#include "fenro/json/reader.h"
#include "fenro/json/writer.h"
#include "fenro/pipeline/aggregator.h"
#include "fenro/verification/norm_bound.h"

namespace fenro::pipeline {
namespace {

constexpr std::array<std::string_view, 6> kFields = {"method",        "trim_fraction",
                                                     "reputation",    "ban_threshold",
                                                     "adaptive_trim", "norm_bound"};
enum Field { kMethod, kTrim, kReputation, kBan, kAdaptive, kNormBound };
constexpr size_t kRequired = 4;  // the first four members must be present

int field_index(std::string_view name) {
  for (size_t i = 0; i < kFields.size(); ++i) {
    if (kFields[i] == name) return static_cast<int>(i);
  }
  return -1;
}

void write_method(std::string& out, const AggregationMethod& m) {
  switch (m.kind) {
    case AggregationMethod::Kind::kTrimmedMean:
      out += "\"TrimmedMean\"";
      return;
    case AggregationMethod::Kind::kMedian:
      out += "\"Median\"";
      return;
    case AggregationMethod::Kind::kFedAvg:
      out += "\"FedAvg\"";
      return;
    case AggregationMethod::Kind::kKrum:
      out += "{\"Krum\":";
      json::write_uint64(out, m.f);
      out += "}";
      return;
    case AggregationMethod::Kind::kMultiKrum:
      out += "{\"MultiKrum\":[";
      json::write_uint64(out, m.f);
      out += ",";
      if (m.m) {
        json::write_uint64(out, *m.m);
      } else {
        out += "null";
      }
      out += "]}";
      return;
  }
}

std::string unknown_variant(std::string_view name) {
  return "unknown variant `" + std::string(name) +
         "`, expected one of `TrimmedMean`, `Median`, `FedAvg`, `Krum`, `MultiKrum`";
}

// Values read so far; a member is checked as soon as it is met, so the first problem in text
// order is the one reported.
struct Fields {
  std::array<bool, 6> seen{};
  AggregationMethod method;
  float trim_fraction = 0.0f;
  reputation::ReputationStore reputation;
  float ban_threshold = 0.0f;
  bool adaptive_trim = false;
  std::optional<float> norm_bound;
};

class AggregatorReader {
 public:
  explicit AggregatorReader(std::string_view text) : r_(text) {}

  std::variant<ByzantineAggregator, std::string> read() {
    Fields f;
    const bool ok = (r_.peek() == json::Kind::Array ? read_array(f) : read_object(f)) &&
                    r_.finish();
    if (!ok) return message();
    return ByzantineAggregator::restore(f.method, f.trim_fraction, std::move(f.reputation),
                                        f.ban_threshold, f.adaptive_trim, f.norm_bound);
  }

 private:
  std::string message() const { return store_error_.empty() ? r_.message() : store_error_; }

  bool read_object(Fields& f) {
    if (!r_.begin_object("struct ByzantineAggregator")) return false;
    std::string name;
    while (r_.next_member(name)) {
      const int idx = field_index(name);
      if (idx < 0) {
        if (!r_.skip_value()) return false;
        continue;
      }
      if (f.seen[idx]) return r_.fail("duplicate field `" + name + "`");
      if (!read_field(static_cast<Field>(idx), f)) return false;
    }
    if (r_.failed()) return false;
    for (size_t i = 0; i < kRequired; ++i) {
      if (!f.seen[i]) return r_.fail("missing field `" + std::string(kFields[i]) + "`");
    }
    return true;
  }

  // The six values in member order; the first four are required.
  bool read_array(Fields& f) {
    if (!r_.begin_array("struct ByzantineAggregator")) return false;
    size_t count = 0;
    while (r_.next_element()) {
      if (count >= kFields.size()) {
        // Count the surplus for the message, reading over it.
        if (!r_.skip_value()) return false;
        ++count;
        continue;
      }
      if (!read_field(static_cast<Field>(count), f)) return false;
      ++count;
    }
    if (r_.failed()) return false;
    if (count < kRequired || count > kFields.size()) {
      return r_.fail("invalid length " + std::to_string(count) +
                     ", expected struct ByzantineAggregator with 6 elements");
    }
    return true;
  }

  bool read_field(Field field, Fields& f) {
    f.seen[field] = true;
    switch (field) {
      case kMethod:
        return read_method(f.method);
      case kTrim:
        // Written as null when NaN or infinite, so null reads back as NaN: every aggregator
        // that can be written can be restored.
        if (r_.peek() == json::Kind::Null) {
          f.trim_fraction = std::numeric_limits<float>::quiet_NaN();
          return r_.read_null();
        }
        return r_.read_float(f.trim_fraction, "a number or null");
      case kReputation: {
        auto store = reputation::ReputationStore::read_json(r_);
        if (auto* err = std::get_if<std::string>(&store)) {
          if (!r_.failed()) store_error_ = *err;  // the range check, already positioned
          return false;
        }
        f.reputation = std::get<reputation::ReputationStore>(std::move(store));
        return true;
      }
      case kBan:
        if (!r_.read_float(f.ban_threshold)) return false;
        return check(reputation::check_ban_threshold(f.ban_threshold));
      case kAdaptive:
        return r_.read_bool(f.adaptive_trim);
      case kNormBound: {
        if (r_.peek() == json::Kind::Null) {
          f.norm_bound.reset();
          return r_.read_null();
        }
        float b = 0.0f;
        if (!r_.read_float(b, "a number or null")) return false;
        f.norm_bound = b;
        return check(verification::check_norm_bound(b));
      }
    }
    return false;
  }

  // "TrimmedMean" | "Median" | "FedAvg" | {"<unit variant>":null} | {"Krum":f} |
  // {"MultiKrum":[f, m or null]}.
  bool read_method(AggregationMethod& out) {
    std::string name;
    if (r_.peek() == json::Kind::String) {
      if (!r_.read_string(name)) return false;
      if (name == "TrimmedMean") out = AggregationMethod::trimmed_mean();
      else if (name == "Median") out = AggregationMethod::median();
      else if (name == "FedAvg") out = AggregationMethod::fed_avg();
      else if (name == "Krum") return r_.fail("variant `Krum` needs its parameter f, as {\"Krum\":f}");
      else if (name == "MultiKrum")
        return r_.fail("variant `MultiKrum` needs its parameters, as {\"MultiKrum\":[f,m]}");
      else return r_.fail(unknown_variant(name));
      return true;
    }
    if (!r_.begin_object("a method name or a single-member method object")) return false;
    if (!r_.next_member(name)) {
      if (r_.failed()) return false;
      return r_.fail("expected a single-member method object, found an empty object");
    }
    if (name == "TrimmedMean" || name == "Median" || name == "FedAvg") {
      if (!r_.read_null()) return false;
      out = name == "TrimmedMean" ? AggregationMethod::trimmed_mean()
            : name == "Median"    ? AggregationMethod::median()
                                  : AggregationMethod::fed_avg();
    } else if (name == "Krum") {
      uint64_t f = 0;
      if (!r_.read_uint64(f)) return false;
      out = AggregationMethod::krum(f);
    } else if (name == "MultiKrum") {
      if (!read_multi_krum(out)) return false;
    } else {
      return r_.fail(unknown_variant(name));
    }
    std::string extra;
    if (r_.next_member(extra)) {
      return r_.fail("expected a single-member method object, found a second member `" + extra +
                     "`");
    }
    return !r_.failed();
  }

  bool read_multi_krum(AggregationMethod& out) {
    if (!r_.begin_array("tuple variant AggregationMethod::MultiKrum")) return false;
    uint64_t f = 0;
    std::optional<uint64_t> m;
    size_t count = 0;
    while (r_.next_element()) {
      if (count == 0) {
        if (!r_.read_uint64(f)) return false;
      } else if (count == 1) {
        if (r_.peek() == json::Kind::Null) {
          if (!r_.read_null()) return false;
        } else {
          uint64_t v = 0;
          if (!r_.read_uint64(v, "an unsigned 64-bit integer or null")) return false;
          m = v;
        }
      } else if (!r_.skip_value()) {
        return false;
      }
      ++count;
    }
    if (r_.failed()) return false;
    if (count != 2) {
      return r_.fail("invalid length " + std::to_string(count) +
                     ", expected tuple variant AggregationMethod::MultiKrum with 2 elements");
    }
    out = AggregationMethod::multi_krum(f, m);
    return true;
  }

  // Fails the reading, at the current position, with the message of a failed check.
  bool check(const Status& status) { return status.ok() || r_.fail(status.error().message()); }

  json::Reader r_;
  std::string store_error_;
};

}  // namespace

std::string ByzantineAggregator::to_json() const {
  std::string out = "{\"method\":";
  write_method(out, method_);
  out += ",\"trim_fraction\":";
  json::write_float(out, trim_fraction_);
  out += ",\"reputation\":";
  reputation_.write_json(out);
  out += ",\"ban_threshold\":";
  json::write_float(out, ban_threshold_);
  out += ",\"adaptive_trim\":";
  out += adaptive_trim_ ? "true" : "false";
  out += ",\"norm_bound\":";
  if (norm_bound_) {
    json::write_float(out, *norm_bound_);
  } else {
    out += "null";
  }
  out += "}";
  return out;
}

std::variant<ByzantineAggregator, std::string> ByzantineAggregator::from_json(
    std::string_view text) {
  return AggregatorReader(text).read();
}

}  // namespace fenro::pipeline
