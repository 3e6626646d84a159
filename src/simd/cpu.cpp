#include "simd/cpu.hpp"

namespace sorbek::simd {

namespace {

Isa detect() noexcept {
#if defined(SORBEK_X86_64)
  __builtin_cpu_init();
  // libgcc also checks that the system saves the vector state of each.
  if (!__builtin_cpu_supports("avx2")) return Isa::sse2;  // baseline of x86-64
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512ifma") && __builtin_cpu_supports("avx512vbmi") &&
      __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2") &&
      __builtin_cpu_supports("popcnt")) {
    return Isa::avx512;
  }
  return Isa::avx2;
#elif defined(SORBEK_AARCH64)
  return Isa::neon;  // baseline of arm64
#else
  return Isa::scalar;
#endif
}

}  // namespace

Isa best_isa() noexcept {
  static const Isa best = detect();
  return best;
}

bool isa_available(Isa isa) noexcept {
  switch (isa) {
    case Isa::scalar:
      return true;
#if defined(SORBEK_X86_64)
    case Isa::sse2:
      return true;
    case Isa::avx2:
      return best_isa() == Isa::avx2 || best_isa() == Isa::avx512;
    case Isa::avx512:
      return best_isa() == Isa::avx512;
#elif defined(SORBEK_AARCH64)
    case Isa::neon:
      return true;
#endif
    default:
      return false;
  }
}

const char* isa_name(Isa isa) noexcept {
  switch (isa) {
    case Isa::scalar: return "scalar";
    case Isa::sse2: return "sse2";
    case Isa::avx2: return "avx2";
    case Isa::avx512: return "avx512";
    case Isa::neon: return "neon";
  }
  return "unknown";
}

}  // namespace sorbek::simd
