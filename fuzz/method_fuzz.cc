// Fuzz target for the method text parser. Properties: parsing never crashes; an accepted text
// names a method whose canonical text parses back to the same method; a refused text gets one
// of the five failure forms.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fenro/pipeline/method.h"

using fenro::pipeline::AggregationMethod;

namespace {

std::string canonical_text(const AggregationMethod& m) {
  switch (m.kind) {
    case AggregationMethod::Kind::kTrimmedMean:
      return "trimmed_mean";
    case AggregationMethod::Kind::kMedian:
      return "median";
    case AggregationMethod::Kind::kFedAvg:
      return "fedavg";
    case AggregationMethod::Kind::kKrum:
      return "krum:" + std::to_string(m.f);
    case AggregationMethod::Kind::kMultiKrum:
      return m.m ? "multi_krum:" + std::to_string(m.f) + ":" + std::to_string(*m.m)
                 : "multi_krum";
  }
  return "";
}

bool starts_with(const std::string& s, std::string_view p) { return s.rfind(p, 0) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = fenro::pipeline::parse_method(text);
  if (auto* m = std::get_if<AggregationMethod>(&parsed)) {
    if (m->kind == AggregationMethod::Kind::kMultiKrum && !m->m && m->f != 1) std::abort();
    auto again = fenro::pipeline::parse_method(canonical_text(*m));
    auto* m2 = std::get_if<AggregationMethod>(&again);
    if (m2 == nullptr || !(*m2 == *m)) std::abort();
    (void)m->debug_text();
  } else {
    const std::string& msg = std::get<std::string>(parsed);
    if (!starts_with(msg, "Unknown method '") && !starts_with(msg, "Invalid krum parameter '") &&
        !starts_with(msg, "Invalid multi_krum ")) {
      std::abort();
    }
  }
  return 0;
}
