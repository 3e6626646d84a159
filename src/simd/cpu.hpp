#pragma once
// Runtime CPU feature detection for kernel dispatch. Detection runs once per
// process; kernels that need a feature are only called when it is present.

namespace sorbek::simd {

// avx512: AVX-512 Foundation with VL (its instructions on 256-bit vectors),
// BW (on bytes and 16-bit lanes), IFMA (52-bit integer multiply-add) and
// VBMI2 (compress of bytes and 16-bit lanes), as every AVX-512 CPU since Ice
// Lake and Zen 4 has; it implies AVX2, BMI2 and POPCNT. Kernels without a
// variant of their own use their AVX2 one.
enum class Isa { scalar, sse2, avx2, avx512, neon };

// The widest instruction set this build has kernels for and the CPU runs.
Isa best_isa() noexcept;

// Whether kernels for `isa` are compiled in and runnable on this CPU.
bool isa_available(Isa isa) noexcept;

const char* isa_name(Isa isa) noexcept;

}  // namespace sorbek::simd

#if defined(__x86_64__) || defined(_M_X64)
#define SORBEK_X86_64 1
#define SORBEK_TARGET_AVX2 __attribute__((target("avx2")))
#define SORBEK_TARGET_AVX512 \
  __attribute__((target("avx2,bmi,bmi2,popcnt,avx512f,avx512vl,avx512bw,avx512ifma,avx512vbmi,avx512vbmi2")))
#elif defined(__aarch64__)
#define SORBEK_AARCH64 1
#endif

// Kernels that read a whole vector window around a short run, within the
// process's read bound, are hidden from AddressSanitizer: the window may
// cover redzones.
#define SORBEK_NO_SANITIZE_ADDRESS __attribute__((no_sanitize_address))
