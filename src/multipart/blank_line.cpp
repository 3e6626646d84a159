#include "multipart/blank_line.hpp"

#if defined(SORBEK_X86_64)
#include <emmintrin.h>
#elif defined(SORBEK_AARCH64)
#include <arm_neon.h>
#endif

namespace sorbek::multipart::blank_line {

std::size_t Portable::find(const std::uint8_t* p, std::size_t from, std::size_t to) noexcept {
  for (std::size_t i = from; i + 4 <= to; ++i) {
    if (p[i] == '\r' && p[i + 1] == '\n' && p[i + 2] == '\r' && p[i + 3] == '\n') return i;
  }
  return not_found;
}

namespace {

// Where the four bytes of "\r\n\r\n" start, from the positions of CR and of
// LF in a window of `width` bytes (bit i for byte i): the starts that lie
// whole within it.
inline std::uint32_t starts(std::uint32_t cr, std::uint32_t lf, unsigned width) noexcept {
  return cr & (lf >> 1) & (cr >> 2) & (lf >> 3) & ((std::uint32_t{1} << (width - 3)) - 1);
}

struct Bits {
  std::uint32_t cr, lf;
};

// CR and LF bits of 16 or 32 bytes from a kernel's 16-byte comparison,
// Compare::mask(p, byte), which sets bit i where p[i] == byte.
template <class Compare>
struct Masks {
  static Bits bits16(const std::uint8_t* p) noexcept { return {Compare::mask(p, '\r'), Compare::mask(p, '\n')}; }
  static Bits bits32(const std::uint8_t* p) noexcept {
    return {Compare::mask(p, '\r') | Compare::mask(p + 16, '\r') << 16,
            Compare::mask(p, '\n') | Compare::mask(p + 16, '\n') << 16};
  }
};

// Windows of `width` bytes advancing by the starts each holds whole, the
// last one ending at `to` (overlapping positions already searched, where it
// finds nothing); ranges shorter than 16 bytes are searched a byte at a time.
template <class Compare>
std::size_t find_windows(const std::uint8_t* p, std::size_t from, std::size_t to) noexcept {
  auto windows = [&](unsigned width, auto bits) {
    for (std::size_t i = from;; i += width - 3) {
      const std::size_t at = i + width <= to ? i : to - width;
      const auto [cr, lf] = bits(p + at);
      if (const std::uint32_t hits = starts(cr, lf, width)) return at + static_cast<std::size_t>(__builtin_ctz(hits));
      if (at == to - width) return not_found;
    }
  };
  if (to - from >= 32) return windows(32, Masks<Compare>::bits32);
  if (to - from >= 16) return windows(16, Masks<Compare>::bits16);
  return Portable::find(p, from, to);
}

}  // namespace

#if defined(SORBEK_X86_64)

namespace {

struct Sse2Compare {
  static std::uint32_t mask(const std::uint8_t* p, char byte) noexcept {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(byte))));
  }
};

}  // namespace

std::size_t Sse2::find(const std::uint8_t* p, std::size_t from, std::size_t to) noexcept {
  return find_windows<Sse2Compare>(p, from, to);
}

#elif defined(SORBEK_AARCH64)

namespace {

struct NeonCompare {
  // One bit per byte of a 16-byte comparison, in byte order.
  static std::uint32_t mask(const std::uint8_t* p, char byte) noexcept {
    static const std::uint8_t weights[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t w = vandq_u8(vceqq_u8(vld1q_u8(p), vdupq_n_u8(static_cast<std::uint8_t>(byte))), vld1q_u8(weights));
    return static_cast<std::uint32_t>(vaddv_u8(vget_low_u8(w))) | static_cast<std::uint32_t>(vaddv_u8(vget_high_u8(w))) << 8;
  }
};

}  // namespace

std::size_t Neon::find(const std::uint8_t* p, std::size_t from, std::size_t to) noexcept {
  return find_windows<NeonCompare>(p, from, to);
}

#endif

}  // namespace sorbek::multipart::blank_line
