// Run-time choice of the SIMD instruction set. The shipped library is compiled for baseline
// x86-64; wider code lives in per-target translation units and is entered only when the CPU
// (and the operating system) support it.
//
// The environment variable FENRO_SIMD caps or selects the target: "scalar", "avx2" or
// "avx512". It is read once, at the first dispatch. Unset or empty, the default dispatch takes
// the widest tested target (kTestedTargets) the CPU runs. A name selects that target, even one
// outside kTestedTargets, and caps supported_targets() at it; an unknown name, or a target the
// CPU lacks, is an error (target_error()) and never falls back to another target.
#ifndef FENRO_SIMD_CPU_H_
#define FENRO_SIMD_CPU_H_

#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace fenro::simd {

// Ordered from narrowest to widest.
enum class Target { kScalar, kAvx2, kAvx512 };

// The targets the default dispatch may pick. Each one has run the whole C++ and Python test
// suites, bit for bit against the scalar reference, on real hardware:
//  - scalar: on every machine;
//  - avx2: on AMD EPYC (Zen 1) and Intel Xeon machines;
//  - avx512: on an AVX-512 Xeon and an AVX-512 EPYC (Zen 4) (F, BW, VL, DQ), the suites run
//    under FENRO_SIMD=avx512.
// A target added to Target stays out of this list, reachable only through FENRO_SIMD, until
// the suites have run on a CPU that has it (tests/run_simd_matrix.sh runs them per target).
inline constexpr Target kTestedTargets[] = {Target::kScalar, Target::kAvx2, Target::kAvx512};

// Thrown by best_target() when FENRO_SIMD is invalid; what() is target_error().
class TargetError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The target every default dispatch uses, decided once from FENRO_SIMD and the CPU. Throws
// TargetError when FENRO_SIMD is invalid: callers that report errors as values check
// target_error() first.
Target best_target();

// Empty when FENRO_SIMD is unset, empty or valid on this CPU; otherwise the message that
// describes the problem. Callers match on the texts (see choose_target).
const std::string& target_error();

// Every target this CPU runs, scalar first, up to the one FENRO_SIMD selects when it is valid.
// Kernel tests compare each against scalar.
std::vector<Target> supported_targets();

std::string_view target_name(Target t);

// True when the CPU runs AVX-512 and executes a 512-bit FMA at full width (an Intel core):
// kernels whose AVX-512 form only pays with twice the FMA throughput of AVX2 check it. Their
// results never depend on it.
bool full_width_512_fma();

// The decision of best_target() as a pure function: `fenro_simd` is the variable's value
// (nullptr when absent), `runs` the targets the CPU runs, `tested` the default candidates.
// On failure `error` holds one of (the value quoted, other bytes than printable ASCII as \xNN,
// cut after 32 characters):
//   FENRO_SIMD="<value>" is not a SIMD target (expected scalar, avx2 or avx512)
//   FENRO_SIMD="<value>" selects a SIMD target this CPU lacks (it runs: scalar, avx2)
struct TargetChoice {
  Target target = Target::kScalar;
  std::string error;  // empty on success
};
TargetChoice choose_target(const char* fenro_simd, std::span<const Target> runs,
                           std::span<const Target> tested);

}  // namespace fenro::simd

#endif  // FENRO_SIMD_CPU_H_
