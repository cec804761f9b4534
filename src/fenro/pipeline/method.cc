#include "fenro/pipeline/method.h"

#include <limits>

namespace fenro::pipeline {
namespace {

constexpr std::string_view kHelp =
    "Use 'trimmed_mean', 'median', 'fedavg', 'krum[:N]', or 'multi_krum[:f:m]'";

// An optional single leading '+', then one or more ASCII digits, fitting in 64 bits.
std::optional<uint64_t> parse_count(std::string_view s) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

std::string quoted_failure(std::string_view what, std::string_view text) {
  std::string out(what);
  out += " '";
  out += text;
  out += "'. ";
  out += kHelp;
  return out;
}

}  // namespace

std::string AggregationMethod::debug_text() const {
  switch (kind) {
    case Kind::kTrimmedMean:
      return "TrimmedMean";
    case Kind::kMedian:
      return "Median";
    case Kind::kFedAvg:
      return "FedAvg";
    case Kind::kKrum:
      return "Krum(" + std::to_string(f) + ")";
    case Kind::kMultiKrum:
      return "MultiKrum(" + std::to_string(f) + ", " +
             (m ? "Some(" + std::to_string(*m) + ")" : std::string("None")) + ")";
  }
  return {};
}

std::variant<AggregationMethod, std::string> parse_method(std::string_view text) {
  if (text == "trimmed_mean") return AggregationMethod::trimmed_mean();
  if (text == "median") return AggregationMethod::median();
  if (text == "fedavg") return AggregationMethod::fed_avg();
  if (text == "krum") return AggregationMethod::krum(1);
  if (text == "multi_krum") return AggregationMethod::multi_krum(1, std::nullopt);
  if (text.size() >= 5 && text.substr(0, 5) == "krum:") {
    if (auto f = parse_count(text.substr(5))) return AggregationMethod::krum(*f);
    return quoted_failure("Invalid krum parameter", text);
  }
  constexpr std::string_view kMultiPrefix = "multi_krum:";
  if (text.substr(0, kMultiPrefix.size()) == kMultiPrefix) {
    const std::string_view rest = text.substr(kMultiPrefix.size());
    const size_t colon = rest.find(':');
    if (colon == std::string_view::npos || rest.find(':', colon + 1) != std::string_view::npos) {
      return "Invalid multi_krum parameters '" + std::string(text) +
             "'. Use 'multi_krum' or 'multi_krum:f:m'";
    }
    const std::string_view f_text = rest.substr(0, colon);
    const std::string_view m_text = rest.substr(colon + 1);
    const auto f = parse_count(f_text);
    if (!f) return quoted_failure("Invalid multi_krum f parameter", f_text);
    const auto m = parse_count(m_text);
    if (!m) return quoted_failure("Invalid multi_krum m parameter", m_text);
    return AggregationMethod::multi_krum(*f, *m);
  }
  return quoted_failure("Unknown method", text);
}

}  // namespace fenro::pipeline
