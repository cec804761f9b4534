// Property: any text the store reader accepts writes back to a text that reads to the same
// store, bit for bit, and writing that store again gives the same text. Rejected texts must
// carry a message in one of the two documented shapes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>

#include "fenro/reputation/store.h"

using fenro::reputation::ReputationStore;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

uint32_t bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto first = ReputationStore::from_json(text);
  if (const auto* err = std::get_if<std::string>(&first)) {
    check(err->find(" at line ") != std::string::npos ||
          err->rfind("reputation score ", 0) == 0);
    return 0;
  }
  const ReputationStore& store = std::get<ReputationStore>(first);
  const std::string written = store.to_json();
  auto second = ReputationStore::from_json(written);
  check(std::holds_alternative<ReputationStore>(second));
  const ReputationStore& back = std::get<ReputationStore>(second);
  check(back.all_scores().size() == store.all_scores().size());
  auto it = back.all_scores().begin();
  for (const auto& [id, score] : store.all_scores()) {
    check(it->first == id && bits(it->second) == bits(score));
    check(score >= 0.0f && score <= 1.0f);
    ++it;
  }
  check(back.to_json() == written);
  return 0;
}
