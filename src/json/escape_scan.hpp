#pragma once
// Finds the first byte of UTF-8 text that a JSON string literal must escape:
// a control byte below 0x20, the quotation mark or the reverse solidus. Bytes
// of multi-byte characters are all 0x80 or above, so the scan works on bytes
// and never splits a character.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "json/copy_bytes.hpp"
#include "simd/cpu.hpp"
#include "simd/read_bound.hpp"

#if defined(SORBEK_X86_64)
#include <emmintrin.h>
#elif defined(SORBEK_AARCH64)
#include <arm_neon.h>
#endif

namespace sorbek::json {

inline bool needs_escape(unsigned char c) noexcept { return c < 0x20 || c == '"' || c == '\\'; }

// needs_escape as a table, for the byte-at-a-time tails of short strings.
extern const bool escape_table[256];

// The reference: the index of the first byte to escape in p[0, n), or n.
std::size_t escape_scan_scalar(const char* p, std::size_t n) noexcept;

// Each copies p[0, n) to `to` up to the first byte to escape and returns its
// index, or n; it may also store bytes after that one (never beyond to[n)),
// which the caller overwrites. One pass, where scanning and then copying
// reads a long string twice.
std::size_t copy_until_escape_portable(const char* p, std::size_t n, char* to) noexcept;
#if defined(SORBEK_X86_64)
std::size_t copy_until_escape_sse2(const char* p, std::size_t n, char* to) noexcept;
std::size_t copy_until_escape_avx2(const char* p, std::size_t n, char* to) noexcept;
std::size_t copy_until_escape_avx512(const char* p, std::size_t n, char* to) noexcept;
#elif defined(SORBEK_AARCH64)
std::size_t copy_until_escape_neon(const char* p, std::size_t n, char* to) noexcept;
#endif

using CopyUntilEscapeFn = std::size_t (*)(const char*, std::size_t, char*) noexcept;

// The kernel of an instruction set (the portable one for scalar), and the
// widest the CPU runs, chosen once at load.
CopyUntilEscapeFn copy_until_escape_for(simd::Isa isa) noexcept;
extern const CopyUntilEscapeFn copy_until_escape_best;

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
// Bit i set when byte i of v needs escaping (SSE2 is always there).
inline unsigned escape_mask16(__m128i v) noexcept {
  const __m128i limit = _mm_set1_epi8(0x1F);
  // v <= 0x1F as unsigned bytes: max(v, 0x1F) == 0x1F.
  const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, limit), limit);
  const __m128i special = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(control, special)));
}
inline unsigned escape_mask16(const char* p) noexcept {
  return escape_mask16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
#elif defined(SORBEK_AARCH64)
// Four bits set for each byte of v that needs escaping (NEON is always there).
inline std::uint64_t escape_nibbles16(uint8x16_t v) noexcept {
  const uint8x16_t control = vcltq_u8(v, vdupq_n_u8(0x20));
  const uint8x16_t special = vorrq_u8(vceqq_u8(v, vdupq_n_u8('"')), vceqq_u8(v, vdupq_n_u8('\\')));
  const uint8x8_t nibbles = vshrn_n_u16(vreinterpretq_u16_u8(vorrq_u8(control, special)), 4);
  return vget_lane_u64(vreinterpret_u64_u8(nibbles), 0);
}
#endif

inline std::size_t escape_scan_bytes(const char* p, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    if (escape_table[static_cast<unsigned char>(p[i])]) return i;
  }
  return n;
}

}  // namespace detail

// Short runs in one step. Most keys and values are at most 32 bytes long,
// and their lengths change from one string to the next, so code that
// branches on the length mispredicts. copy_short_run instead reads a whole
// 32-byte window, tests it at once and copies it whole. The window may reach
// past the run's end, so it is read only where the process's read bound
// allows (simd/read_bound.hpp); only the run's own bytes are used. An empty
// run has no byte of its own and is never read this way.
inline constexpr std::size_t short_run = 32;

inline bool short_window_readable(const char* p, std::size_t n,
                                  std::uintptr_t mask = simd::process_read_mask) noexcept {
  return simd::window_within_bound(p, n, short_run, mask);
}

// The reference: reads only p[0, n), copies it to `to`, and returns the index
// of its first byte to escape, or n.
std::size_t copy_short_run_portable(const char* p, std::size_t n, char* to) noexcept;

#if defined(SORBEK_X86_64) || defined(SORBEK_AARCH64)
#define SORBEK_HAS_SHORT_RUN 1
// For 0 < n <= short_run and short_window_readable(p, n): stores the window's 32
// bytes at `to` (room for 32) and returns what the reference returns.
SORBEK_NO_SANITIZE_ADDRESS inline std::size_t copy_short_run(const char* p, std::size_t n, char* to) noexcept {
#if defined(SORBEK_X86_64)
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to), low);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 16), high);
  // A marker bit at n: the lowest set bit is the first hit before n, or n.
  const std::uint64_t hits = detail::escape_mask16(low) | (std::uint64_t{detail::escape_mask16(high)} << 16) |
                             (std::uint64_t{1} << n);
  return static_cast<std::size_t>(__builtin_ctzll(hits));
#else
  const uint8x16_t low = vld1q_u8(reinterpret_cast<const std::uint8_t*>(p));
  const uint8x16_t high = vld1q_u8(reinterpret_cast<const std::uint8_t*>(p + 16));
  vst1q_u8(reinterpret_cast<std::uint8_t*>(to), low);
  vst1q_u8(reinterpret_cast<std::uint8_t*>(to + 16), high);
  const std::uint64_t low_hits = detail::escape_nibbles16(low), high_hits = detail::escape_nibbles16(high);
  const std::size_t first = low_hits != 0    ? static_cast<std::size_t>(__builtin_ctzll(low_hits)) / 4
                            : high_hits != 0 ? 16 + static_cast<std::size_t>(__builtin_ctzll(high_hits)) / 4
                                             : short_run;
  return first < n ? first : n;
#endif
}
#endif

namespace detail {

// The first byte to escape in a run shorter than short_run, inline: 8 bytes
// per step, and a last 8-byte step that ends at the end of the run and
// overlaps bytes already known to be clean, so no byte loop is needed from 8
// bytes on (16 at a time on x86-64).
inline std::size_t escape_scan_short(const char* p, std::size_t n) noexcept {
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
  return escape_scan_bytes(p, n);
}

}  // namespace detail

// Copies p[0, n) to `to` up to the first byte to escape and returns its
// index, or n; it may store bytes after that one, never beyond to[n). Long
// runs go to the CPU's kernel, which copies as it scans, in one pass; short
// ones (dict keys, most values) are scanned inline and copied.
inline std::size_t copy_until_escape(const char* p, std::size_t n, char* to) noexcept {
  if (n >= short_run) return copy_until_escape_best(p, n, to);
  const std::size_t clean = detail::escape_scan_short(p, n);
  copy_bytes(to, p, clean);
  return clean;
}

}  // namespace sorbek::json
