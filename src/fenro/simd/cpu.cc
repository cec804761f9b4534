#include "fenro/simd/cpu.h"

namespace fenro::simd {
namespace {

struct Features {
  bool avx2 = false;
  bool avx512 = false;
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
#endif
  return f;
}

const Features& features() {
  static const Features f = detect();
  return f;
}

}  // namespace

Target best_target() {
  if (features().avx512) return Target::kAvx512;
  if (features().avx2) return Target::kAvx2;
  return Target::kScalar;
}

std::vector<Target> supported_targets() {
  std::vector<Target> out{Target::kScalar};
  if (features().avx2) out.push_back(Target::kAvx2);
  if (features().avx512) out.push_back(Target::kAvx512);
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
