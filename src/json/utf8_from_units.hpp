#pragma once
// A str's characters, as CPython keeps them (one, two or four bytes each),
// written as UTF-8 for a JSON string literal. Reading them in place spares a
// str met for the first time the UTF-8 form CPython would otherwise make and
// keep on it (an allocation, a character-at-a-time encoding, and memory held
// by the str afterwards).
//
// Each kernel writes units[0, n) as UTF-8 to `out` up to the first unit that
// a JSON string escapes (below 0x20, '"', '\\') or that UTF-8 cannot hold (a
// surrogate, U+D800 to U+DFFF), sets `done` to the units written and
// returns the bytes written. `out` has room for 4 * n + 64 bytes: vector
// kernels store whole vectors. Free of Python; the portable kernel is the
// reference, the AVX-512 one is chosen at load where the CPU has it.

#include <cstddef>
#include <cstdint>

#include "simd/cpu.hpp"

namespace sorbek::json::units {

inline constexpr std::size_t out_slack = 64;

struct Kernels {
  std::size_t (*from_latin1)(const std::uint8_t* units, std::size_t n, char* out, std::size_t& done) noexcept;
  std::size_t (*from_ucs2)(const std::uint16_t* units, std::size_t n, char* out, std::size_t& done) noexcept;
  std::size_t (*from_ucs4)(const std::uint32_t* units, std::size_t n, char* out, std::size_t& done) noexcept;
};

Kernels kernels_for(simd::Isa isa) noexcept;
// This CPU's, chosen once at load, and whether they are vector kernels. The
// portable kernel is no faster than CPython's encoder on strs met for the
// first time, and far slower than copying the UTF-8 form CPython keeps on
// strs written again (a dozen times on CJK text): where it is all there is,
// strs are left to CPython.
extern const Kernels best;
extern const bool best_is_vector;

// Whether a unit is one where the kernels stop.
inline bool stops_at(std::uint32_t unit) noexcept {
  return unit < 0x20 || unit == '"' || unit == '\\' || (unit >= 0xD800 && unit < 0xE000);
}

}  // namespace sorbek::json::units
