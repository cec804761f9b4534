// Run-time choice of the SIMD instruction set. The shipped library is compiled for baseline
// x86-64; wider code lives in per-target translation units and is entered only when the CPU
// (and the operating system) support it.
#ifndef FENRO_SIMD_CPU_H_
#define FENRO_SIMD_CPU_H_

#include <string_view>
#include <vector>

namespace fenro::simd {

enum class Target { kScalar, kAvx2, kAvx512 };

// The widest target this CPU runs. Detected once.
Target best_target();

// Every target this CPU runs, scalar first. Kernel tests compare each against scalar.
std::vector<Target> supported_targets();

std::string_view target_name(Target t);

}  // namespace fenro::simd

#endif  // FENRO_SIMD_CPU_H_
