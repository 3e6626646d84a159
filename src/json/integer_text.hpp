#pragma once
// Integer text on a digit kernel, inlined where it is used: into each
// kernel's number writers, and into the JSON value writer, where an integer
// is written by the code that read it rather than through a call. Free of
// Python.

#include <cstdint>
#include <cstring>

namespace sorbek::json::integer_text {

// The writers' templates are inlined into each caller, so that each is
// compiled for the caller's instruction set.
#define SORBEK_WRITER_INLINE [[gnu::always_inline]] inline

inline constexpr std::uint64_t pow10[20] = {
    1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull, 100000000ull,
    1000000000ull, 10000000000ull, 100000000000ull, 1000000000000ull, 10000000000000ull,
    100000000000000ull, 1000000000000000ull, 10000000000000000ull, 100000000000000000ull,
    1000000000000000000ull, 10000000000000000000ull};

// Number of decimal digits: log10 estimated from the bit length (1233/4096
// is just above log10(2)), then corrected by one comparison.
inline unsigned digit_count(std::uint64_t v) noexcept {
  const auto bits = static_cast<unsigned>(64 - __builtin_clzll(v | 1));
  const unsigned t = (bits * 1233) >> 12;
  return t + 1 - static_cast<unsigned>((v | 1) < pow10[t]);
}

// The 16 digits of v < 10^16.
template <class Digits>
SORBEK_WRITER_INLINE typename Digits::Block digits16(std::uint64_t v) noexcept {
  const std::uint64_t high = v / 100000000;
  return Digits::convert(static_cast<std::uint32_t>(high), static_cast<std::uint32_t>(v - high * 100000000));
}

// The text of every value below 1000 and its length in the fourth byte:
// small numbers (counts, flags, small ids) are the most common, and a load
// and a store write them.
inline constexpr auto small_numbers = [] {
  struct Table {
    char entries[1000][4];
  } t{};
  for (int v = 0; v < 1000; ++v) {
    const int length = v < 10 ? 1 : v < 100 ? 2 : 3;
    for (int i = length - 1, rest = v; i >= 0; --i, rest /= 10) t.entries[v][i] = static_cast<char>('0' + rest % 10);
    t.entries[v][3] = static_cast<char>(length);
  }
  return t;
}();

template <class Digits>
SORBEK_WRITER_INLINE char* write_uint64_with(std::uint64_t v, char* out) noexcept {
  if (v < 1000) {
    std::memcpy(out, small_numbers.entries[v], 4);
    return out + small_numbers.entries[v][3];
  }
  const unsigned n = digit_count(v);
  if (n <= 16) [[likely]] {
    // Scaled up to 16 digits, so that its own land at the front of the block.
    Digits::store(out, digits16<Digits>(v * pow10[16 - n]));
    return out + n;
  }
  // 17 to 20 digits: the leading 1 to 4, then 16.
  const std::uint64_t high = v / pow10[16];
  const unsigned m = n - 16;
  Digits::store(out, digits16<Digits>(high * pow10[16 - m]));
  Digits::store(out + m, digits16<Digits>(v - high * pow10[16]));
  return out + n;
}

template <class Digits>
SORBEK_WRITER_INLINE char* write_int64_with(std::int64_t v, char* out) noexcept {
  // The magnitude as unsigned, so that INT64_MIN does not overflow.
  std::uint64_t magnitude = static_cast<std::uint64_t>(v);
  if (v < 0) {
    *out++ = '-';
    magnitude = 0 - magnitude;
  }
  return write_uint64_with<Digits>(magnitude, out);
}

}  // namespace sorbek::json::integer_text
