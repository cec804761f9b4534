// One-off check, not a benchmark: every float32 in [0, 1] (and, with --all, every finite
// float32 of either sign) written as a JSON number reads back bit for bit. Prints the count
// of values checked and of failures; exits 1 on any failure. Splits the range over 2 threads.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fenro/json/reader.h"
#include "fenro/json/writer.h"

namespace {

std::atomic<uint64_t> checked{0}, failures{0};

void check(uint32_t bits, std::string& text) {
  float v;
  std::memcpy(&v, &bits, sizeof v);
  text.clear();
  fenro::json::write_float(text, v);
  fenro::json::Reader reader(text);
  float back = 0;
  uint32_t back_bits = 0;
  const bool ok = reader.read_float(back) && reader.finish();
  std::memcpy(&back_bits, &back, sizeof back);
  if (!ok || back_bits != bits) {
    if (failures.fetch_add(1) < 20) std::printf("FAIL 0x%08x %s\n", bits, text.c_str());
  }
}

// Checks [lo, hi] (bit patterns), and the same magnitudes negated when `both_signs`.
void check_range(uint32_t lo, uint32_t hi, bool both_signs) {
  std::string text;
  uint64_t n = 0;
  for (uint32_t b = lo;; ++b) {
    check(b, text);
    ++n;
    if (both_signs) {
      check(b | 0x80000000u, text);
      ++n;
    }
    if (b == hi) break;
  }
  checked += n;
}

}  // namespace

int main(int argc, char** argv) {
  const bool all = argc > 1 && std::strcmp(argv[1], "--all") == 0;
  // [+0, 1.0] is the contiguous bit range 0x00000000..0x3f800000; -0.0 is checked on its own.
  const uint32_t last = all ? 0x7f7fffffu : 0x3f800000u;
  const uint32_t mid = last / 2;
  std::vector<std::thread> threads;
  threads.emplace_back(check_range, 0u, mid, all);
  threads.emplace_back(check_range, mid + 1, last, all);
  for (auto& t : threads) t.join();
  if (!all) {
    std::string text;
    check(0x80000000u, text);
    ++checked;
  }
  std::printf("checked %llu float32 values, %llu failures\n",
              static_cast<unsigned long long>(checked.load()),
              static_cast<unsigned long long>(failures.load()));
  return failures == 0 ? 0 : 1;
}
