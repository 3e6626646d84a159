#pragma once
// Finds the first blank line ("\r\n\r\n") of a multipart section. Heads are
// short, so what matters is the cost of one search from a cold start: each
// block of 16 positions compares all four bytes at once, which needs no
// verification, no set-up and no state, and is linear in every case.
//
// The SSE2 and NEON kernels are the baseline of their architectures and
// chosen at compile time; the portable one is the reference they are tested
// against.

#include <cstddef>
#include <cstdint>

#include "simd/cpu.hpp"

namespace sorbek::multipart::blank_line {

inline constexpr std::size_t not_found = static_cast<std::size_t>(-1);

// Each kernel: the lowest i in [from, to - 4] with p[i, i + 4) == "\r\n\r\n",
// or not_found; reads nothing outside p[from, to).
struct Portable {
  static std::size_t find(const std::uint8_t* p, std::size_t from, std::size_t to) noexcept;
};
#if defined(SORBEK_X86_64)
struct Sse2 {
  static std::size_t find(const std::uint8_t* p, std::size_t from, std::size_t to) noexcept;
};
using Best = Sse2;
#elif defined(SORBEK_AARCH64)
struct Neon {
  static std::size_t find(const std::uint8_t* p, std::size_t from, std::size_t to) noexcept;
};
using Best = Neon;
#else
using Best = Portable;
#endif

}  // namespace sorbek::multipart::blank_line
