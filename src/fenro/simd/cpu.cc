#include "fenro/simd/cpu.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace fenro::simd {
namespace {

struct Features {
  bool avx2 = false;
  bool avx512 = false;
  bool full_width_512 = false;
};

Features detect() {
  Features f;
#if defined(FENRO_X86)
  // __builtin_cpu_supports also checks that the OS saves the wide register state.
  __builtin_cpu_init();
  f.avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
           __builtin_cpu_supports("bmi2");
  f.avx512 = f.avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
  // Intel's AVX-512 cores run a 512-bit FMA in one pass; AMD's first AVX-512 cores (Zen 4) split
  // it into two 256-bit halves, so 512-bit float code there has no more throughput than AVX2.
  // Only the former has been measured to gain; any other vendor counts as split.
  f.full_width_512 = f.avx512 && __builtin_cpu_is("intel");
#endif
  return f;
}

const Features& features() {
  static const Features f = detect();
  return f;
}

}  // namespace

bool full_width_512_fma() { return features().full_width_512; }

namespace {

// Every target the CPU runs, narrowest first.
std::vector<Target> cpu_targets() {
  std::vector<Target> out{Target::kScalar};
  if (features().avx2) out.push_back(Target::kAvx2);
  if (features().avx512) out.push_back(Target::kAvx512);
  return out;
}

// FENRO_SIMD, read once, and the choice it makes.
struct Decision {
  bool selected = false;  // FENRO_SIMD names a target (valid or not)
  TargetChoice choice;
};

const Decision& decision() {
  static const Decision d = [] {
    const char* value = std::getenv("FENRO_SIMD");
    return Decision{value != nullptr && *value != '\0',
                    choose_target(value, cpu_targets(), kTestedTargets)};
  }();
  return d;
}

// `value` in double quotes for a message: printable ASCII as is (quote and backslash escaped),
// any other byte as \xNN, at most 32 characters of it.
std::string quoted(std::string_view value) {
  std::string out = "\"";
  size_t shown = 0;
  for (unsigned char c : value) {
    if (shown == 32) {
      out += "...";
      break;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
    ++shown;
  }
  return out + "\"";
}

}  // namespace

TargetChoice choose_target(const char* fenro_simd, std::span<const Target> runs,
                           std::span<const Target> tested) {
  auto has = [](std::span<const Target> set, Target t) {
    return std::find(set.begin(), set.end(), t) != set.end();
  };
  TargetChoice c;
  if (fenro_simd == nullptr || *fenro_simd == '\0') {
    for (Target t : runs)
      if (has(tested, t) && t > c.target) c.target = t;
    return c;
  }
  const std::string_view value(fenro_simd);
  for (Target t : {Target::kScalar, Target::kAvx2, Target::kAvx512}) {
    if (value != target_name(t)) continue;
    if (has(runs, t)) {
      c.target = t;
      return c;
    }
    c.error = "FENRO_SIMD=" + quoted(value) + " selects a SIMD target this CPU lacks (it runs: ";
    for (size_t i = 0; i < runs.size(); ++i) {
      c.error += i > 0 ? ", " : "";
      c.error += target_name(runs[i]);
    }
    c.error += ")";
    return c;
  }
  c.error =
      "FENRO_SIMD=" + quoted(value) + " is not a SIMD target (expected scalar, avx2 or avx512)";
  return c;
}

Target best_target() {
  const TargetChoice& c = decision().choice;
  if (!c.error.empty()) throw TargetError(c.error);
  return c.target;
}

const std::string& target_error() { return decision().choice.error; }

std::vector<Target> supported_targets() {
  std::vector<Target> out = cpu_targets();
  if (decision().selected && decision().choice.error.empty()) {
    while (out.back() > decision().choice.target) out.pop_back();
  }
  return out;
}

std::string_view target_name(Target t) {
  switch (t) {
    case Target::kScalar:
      return "scalar";
    case Target::kAvx2:
      return "avx2";
    case Target::kAvx512:
      return "avx512";
  }
  return "?";
}

}  // namespace fenro::simd
