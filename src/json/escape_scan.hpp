#pragma once
// Finds the first byte of UTF-8 text that a JSON string literal must escape:
// a control byte below 0x20, the quotation mark or the reverse solidus. Bytes
// of multi-byte characters are all 0x80 or above, so the scan works on bytes
// and never splits a character.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "simd/cpu.hpp"

#if defined(SORBEK_X86_64)
#include <emmintrin.h>
#endif

namespace sorbek::json {

inline bool needs_escape(unsigned char c) noexcept { return c < 0x20 || c == '"' || c == '\\'; }

// needs_escape as a table, for the byte-at-a-time tails of short strings.
extern const bool escape_table[256];

// Each returns the index of the first byte to escape in p[0, n), or n.
std::size_t escape_scan_scalar(const char* p, std::size_t n) noexcept;
#if defined(SORBEK_X86_64)
std::size_t escape_scan_sse2(const char* p, std::size_t n) noexcept;
std::size_t escape_scan_avx2(const char* p, std::size_t n) noexcept;
#elif defined(SORBEK_AARCH64)
std::size_t escape_scan_neon(const char* p, std::size_t n) noexcept;
#endif

using EscapeScanFn = std::size_t (*)(const char*, std::size_t) noexcept;
EscapeScanFn escape_scan_for(simd::Isa isa) noexcept;

// The widest kernel the CPU runs, chosen once.
extern const EscapeScanFn escape_scan_best;

namespace detail {

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
// High bit set in each byte of w that needs escaping; exact for the lowest
// flagged byte, which is all that is used.
inline std::uint64_t escape_bits(std::uint64_t w) noexcept {
  constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
  const std::uint64_t control = (w - ones * 0x20) & ~w;
  const std::uint64_t quote = w ^ (ones * '"');
  const std::uint64_t backslash = w ^ (ones * '\\');
  return (control | ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash)) & highs;
}

inline std::uint64_t load8(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}
#endif

#if defined(SORBEK_X86_64)
// Bit i set when p[i] needs escaping, for 16 bytes (SSE2 is always there).
inline unsigned escape_mask16(const char* p) noexcept {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i limit = _mm_set1_epi8(0x1F);
  const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, limit), limit);
  const __m128i special = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(control, special)));
}
#endif

inline std::size_t escape_scan_bytes(const char* p, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    if (escape_table[static_cast<unsigned char>(p[i])]) return i;
  }
  return n;
}

}  // namespace detail

// Short runs (dict keys, most values) stay inline: 8 bytes per step, and a
// last 8-byte step that ends at the end of the run and overlaps bytes already
// known to be clean, so no byte loop is needed from 8 bytes on.
inline std::size_t escape_scan(const char* p, std::size_t n) noexcept {
  if (n >= 32) return escape_scan_best(p, n);
#if defined(SORBEK_X86_64)
  if (n >= 16) {
    // Two blocks, the second ending at the end of the run.
    if (const unsigned hits = detail::escape_mask16(p)) return static_cast<std::size_t>(__builtin_ctz(hits));
    const unsigned hits = detail::escape_mask16(p + n - 16);
    return hits ? n - 16 + static_cast<std::size_t>(__builtin_ctz(hits)) : n;
  }
#endif
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if (n >= 8) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      if (const std::uint64_t hits = detail::escape_bits(detail::load8(p + i))) {
        return i + static_cast<std::size_t>(__builtin_ctzll(hits) / 8);
      }
    }
    if (i == n) return n;
    const std::uint64_t hits = detail::escape_bits(detail::load8(p + n - 8));
    return hits ? n - 8 + static_cast<std::size_t>(__builtin_ctzll(hits) / 8) : n;
  }
  if (n >= 4) {
    // Both ends as one word: a clean run (the usual case) costs one test.
    std::uint32_t head, tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    if (detail::escape_bits(head | (static_cast<std::uint64_t>(tail) << 32)) == 0) return n;
  }
#endif
  return detail::escape_scan_bytes(p, n);
}

}  // namespace sorbek::json
