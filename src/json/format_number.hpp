#pragma once
// Number text for JSON output: 64-bit integers, and floats in shortest
// round-trip form. Free of Python.

#include <bit>
#include <cstddef>
#include <cstdint>

#include "simd/cpu.hpp"

namespace sorbek::json {

// Room the writers need at `out`: they store whole 16-byte blocks and return
// the end of the actual text, which is shorter (at most 20 bytes for
// write_int64, 24 for write_float).
inline constexpr std::size_t int_chars = 32;
inline constexpr std::size_t float_chars = 48;

// Decimal digits of v; returns the end of the text. On the architecture's
// baseline digit kernel.
char* write_uint64(std::uint64_t v, char* out) noexcept;

// The accepted magnitudes: zero, and from the double nearest 0.0001 up to but
// not including 1e16. The float writer's tables are sized from these.
inline constexpr double float_min_magnitude = 0.0001;
inline constexpr double float_magnitude_limit = 1e16;

// Whether the float is written at all. The bits of non-negative doubles
// order as their values do, infinity and NaN above every finite one, so the
// range is one unsigned comparison of the magnitude's bits.
inline bool float_in_range(double x) noexcept {
  constexpr std::uint64_t low = std::bit_cast<std::uint64_t>(float_min_magnitude);
  constexpr std::uint64_t high = std::bit_cast<std::uint64_t>(float_magnitude_limit);
  const std::uint64_t magnitude_bits = std::bit_cast<std::uint64_t>(x) & 0x7FFFFFFFFFFFFFFFull;
  return magnitude_bits - low < high - low || magnitude_bits == 0;
}

// Decimal digits: value = digits * 10^exponent.
struct Decimal {
  std::uint64_t digits;
  int exponent;
};

// For a positive, non-integral x that float_in_range accepts: the shortest
// digits that read back as x under round-to-nearest-even; of those, the
// nearest to x; at an exact tie between two, the upper one. They come with
// the exponent of the candidates' spacing, so they may end in zeros.
Decimal shortest_decimal(double x) noexcept;

// The number writers on one digit kernel:
//   write_int64(v, out): the decimal digits of v;
//   write_float(x, out), for x that passes float_in_range: "-" for a set
//     sign bit, then integral values as their exact integer and ".0",
//     others as their shortest digits in positional notation.
// Each returns the end of its text (at most int_chars or float_chars).
struct NumberWriters {
  char* (*write_int64)(std::int64_t v, char* out) noexcept;
  char* (*write_float)(double x, char* out) noexcept;
};

// The writers on the kernel of an instruction set (the portable one for
// scalar), and on the widest the CPU runs, chosen once at load.
const NumberWriters& number_writers_for(simd::Isa isa) noexcept;
extern const NumberWriters number_writers_best;

// The integer writer has no variant beyond the architecture's baseline
// kernel, so it is called directly (the JSON value writer inlines it, see
// integer_text.hpp); the float writer as the CPU's.
char* write_int64(std::int64_t v, char* out) noexcept;
inline char* write_float(double x, char* out) noexcept { return number_writers_best.write_float(x, out); }

}  // namespace sorbek::json
