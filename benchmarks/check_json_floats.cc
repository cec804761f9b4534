// One-off check, not a benchmark: every float32 in [0, 1] (and, with --all, every finite
// float32 of either sign) written as a JSON number reads back bit for bit. Prints the count
// of values checked and of failures; exits 1 on any failure.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fenro/json/reader.h"
#include "fenro/json/writer.h"

int main(int argc, char** argv) {
  const bool all = argc > 1 && std::strcmp(argv[1], "--all") == 0;
  uint64_t checked = 0, failures = 0;
  std::string text;
  const auto check = [&](uint32_t bits) {
    float v;
    std::memcpy(&v, &bits, sizeof v);
    text.clear();
    fenro::json::write_float(text, v);
    fenro::json::Reader reader(text);
    float back = 0;
    uint32_t back_bits = 0;
    const bool ok = reader.read_float(back) && reader.finish();
    std::memcpy(&back_bits, &back, sizeof back);
    ++checked;
    if (!ok || back_bits != bits) {
      if (++failures <= 20) std::printf("FAIL 0x%08x %s\n", bits, text.c_str());
    }
  };
  // [+0, 1.0] is the contiguous bit range 0x00000000..0x3f800000; add -0.0 too.
  const uint32_t last = all ? 0x7f7fffffu : 0x3f800000u;
  for (uint32_t b = 0;; ++b) {
    check(b);
    if (all) check(b | 0x80000000u);
    if (b == last) break;
  }
  if (!all) check(0x80000000u);
  std::printf("checked %llu float32 values, %llu failures\n",
              static_cast<unsigned long long>(checked), static_cast<unsigned long long>(failures));
  return failures == 0 ? 0 : 1;
}
