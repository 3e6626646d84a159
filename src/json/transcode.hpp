#pragma once
// UTF-8 text recoded into the narrower forms the interpreter builds a str
// from fastest. CPython decodes UTF-8 with non-ASCII characters at about a
// third of a nanosecond per byte (more for text dense in them), but Latin-1
// and UTF-16 at memory speed; the JSON writer's output is valid UTF-8 whose
// widest character is told by its largest byte.
//
// Free of Python. The SSE2 and NEON kernels are the baseline of their
// architectures (Best); AVX2 and AVX-512 ones are chosen at load where the
// CPU has them (kernels_for). The portable one is the reference the others
// are tested against.

#include <cstddef>
#include <cstdint>

#include "simd/cpu.hpp"

#if defined(SORBEK_X86_64)
#include <emmintrin.h>
#endif

namespace sorbek::json::transcode {

// The widest character of valid UTF-8 text, by its largest byte.
enum class Width {
  ascii,   // below 0x80
  latin1,  // up to U+00FF: lead bytes 0xC2 and 0xC3 only
  bmp,     // up to U+FFFF: no 4-byte sequence
  astral,  // anything wider
};

inline Width width_of_max_byte(unsigned max_byte) noexcept {
  if (max_byte < 0x80) return Width::ascii;
  if (max_byte < 0xC4) return Width::latin1;
  if (max_byte < 0xF0) return Width::bmp;
  return Width::astral;
}

// The largest byte of a text, how many of its bytes are 0x80 or more (those
// of characters beyond ASCII), and how many of those continue a character
// (0x80 to 0xBF): the text has n - continuation characters.
struct TextStats {
  unsigned max;
  std::size_t high;
  std::size_t continuation;
};

// Every kernel has
//   TextStats stats(p, n);
//   std::size_t high_runs(p, n): how many runs of bytes 0x80 or more (of
//     characters beyond ASCII, uninterrupted by ASCII) the text holds;
//   std::size_t to_latin1(p, n, out): writes UTF-8 of width latin1 as
//     Latin-1 to out, which may be p itself (rewritten in place), and
//     returns its length;
//   std::size_t to_utf16(p, n, out, room): writes UTF-8 as UTF-16 in native
//     order (a surrogate pair for a character beyond U+FFFF) to out, writing
//     nothing at or beyond out[room] (room: at least the units the text
//     takes), and returns the units;
//   std::size_t to_ucs4(p, n, out, room): the same in UCS-4 (a unit for
//     each character).
struct Portable {
  static TextStats stats(const char* p, std::size_t n) noexcept;
  static std::size_t high_runs(const char* p, std::size_t n) noexcept;
  static std::size_t to_latin1(const char* p, std::size_t n, char* out) noexcept;
  static std::size_t to_utf16(const char* p, std::size_t n, std::uint16_t* out, std::size_t room) noexcept;
  static std::size_t to_ucs4(const char* p, std::size_t n, std::uint32_t* out, std::size_t room) noexcept;
};

#if defined(SORBEK_X86_64)
// The largest of 16 bytes, for the vector kernels' stats; inlined, so that
// each encodes it as its own instructions.
[[gnu::always_inline]] inline unsigned horizontal_max(__m128i m) noexcept {
  m = _mm_max_epu8(m, _mm_srli_si128(m, 8));
  m = _mm_max_epu8(m, _mm_srli_si128(m, 4));
  m = _mm_max_epu8(m, _mm_srli_si128(m, 2));
  m = _mm_max_epu8(m, _mm_srli_si128(m, 1));
  return static_cast<unsigned>(_mm_cvtsi128_si32(m)) & 0xFF;
}

// The stats and the UTF-16 and UCS-4 recoding with AVX2, where the CPU has it.
TextStats stats_avx2(const char* p, std::size_t n) noexcept;
std::size_t to_utf16_avx2(const char* p, std::size_t n, std::uint16_t* out, std::size_t room) noexcept;
std::size_t to_ucs4_avx2(const char* p, std::size_t n, std::uint32_t* out, std::size_t room) noexcept;
// All four with AVX-512, where the CPU has it (simd::Isa::avx512).
TextStats stats_avx512(const char* p, std::size_t n) noexcept;
std::size_t to_latin1_avx512(const char* p, std::size_t n, char* out) noexcept;
std::size_t to_utf16_avx512(const char* p, std::size_t n, std::uint16_t* out, std::size_t room) noexcept;
std::size_t to_ucs4_avx512(const char* p, std::size_t n, std::uint32_t* out, std::size_t room) noexcept;

struct Sse2 {
  static TextStats stats(const char* p, std::size_t n) noexcept;
  static std::size_t high_runs(const char* p, std::size_t n) noexcept;
  static std::size_t to_latin1(const char* p, std::size_t n, char* out) noexcept;
  static std::size_t to_utf16(const char* p, std::size_t n, std::uint16_t* out, std::size_t room) noexcept;
  static std::size_t to_ucs4(const char* p, std::size_t n, std::uint32_t* out, std::size_t room) noexcept;
};
using Best = Sse2;
#elif defined(SORBEK_AARCH64)
struct Neon {
  static TextStats stats(const char* p, std::size_t n) noexcept;
  static std::size_t high_runs(const char* p, std::size_t n) noexcept;
  static std::size_t to_latin1(const char* p, std::size_t n, char* out) noexcept;
  static std::size_t to_utf16(const char* p, std::size_t n, std::uint16_t* out, std::size_t room) noexcept;
  static std::size_t to_ucs4(const char* p, std::size_t n, std::uint32_t* out, std::size_t room) noexcept;
};
using Best = Neon;
#else
using Best = Portable;
#endif

// The kernels for an instruction set, as the escape scan and the substring
// search choose theirs: AVX-512 or AVX2 where the CPU has it, else the
// baseline. stats(), to_latin1(), to_utf16() and to_ucs4() run the ones for
// this CPU, chosen once at load.
struct Kernels {
  TextStats (*stats)(const char*, std::size_t) noexcept;
  std::size_t (*to_latin1)(const char*, std::size_t, char*) noexcept;
  std::size_t (*to_utf16)(const char*, std::size_t, std::uint16_t*, std::size_t) noexcept;
  std::size_t (*to_ucs4)(const char*, std::size_t, std::uint32_t*, std::size_t) noexcept;
};
Kernels kernels_for(simd::Isa isa) noexcept;
TextStats stats(const char* p, std::size_t n) noexcept;
std::size_t to_latin1(const char* p, std::size_t n, char* out) noexcept;
std::size_t to_utf16(const char* p, std::size_t n, std::uint16_t* out, std::size_t room) noexcept;
std::size_t to_ucs4(const char* p, std::size_t n, std::uint32_t* out, std::size_t room) noexcept;

}  // namespace sorbek::json::transcode
