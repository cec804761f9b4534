// Fuzz target for the aggregator's JSON reader. Property: a text that reads successfully writes
// back to a text that reads to an equal aggregator (NaN equal to NaN; a non-finite trim fraction
// is written as null and so comes back as NaN), and writing is stable.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "fenro/pipeline/aggregator.h"

using fenro::pipeline::ByzantineAggregator;

namespace {

bool same_float(float a, float b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto first = ByzantineAggregator::from_json(text);
  auto* a = std::get_if<ByzantineAggregator>(&first);
  if (a == nullptr) return 0;
  const std::string written = a->to_json();
  auto second = ByzantineAggregator::from_json(written);
  auto* b = std::get_if<ByzantineAggregator>(&second);
  if (b == nullptr) std::abort();
  const bool trim_ok = std::isfinite(a->trim_fraction())
                           ? same_float(a->trim_fraction(), b->trim_fraction())
                           : std::isnan(b->trim_fraction());
  if (!(a->method() == b->method()) || !trim_ok ||
      !same_float(a->ban_threshold(), b->ban_threshold()) ||
      a->adaptive_trim() != b->adaptive_trim() ||
      a->norm_bound().has_value() != b->norm_bound().has_value() ||
      (a->norm_bound() && !same_float(*a->norm_bound(), *b->norm_bound()))) {
    std::abort();
  }
  const auto& sa = a->reputation().all_scores();
  const auto& sb = b->reputation().all_scores();
  if (sa.size() != sb.size()) std::abort();
  for (auto ia = sa.begin(), ib = sb.begin(); ia != sa.end(); ++ia, ++ib) {
    if (ia->first != ib->first || !same_float(ia->second, ib->second)) std::abort();
  }
  if (b->to_json() != written) std::abort();
  return 0;
}
