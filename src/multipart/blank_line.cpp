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
// LF in a 32-byte window (bit i for byte i): starts 0 to 28 lie whole within it.
inline std::uint32_t starts(std::uint32_t cr, std::uint32_t lf) noexcept {
  return cr & (lf >> 1) & (cr >> 2) & (lf >> 3) & 0x1FFFFFFFu;
}

}  // namespace

#if defined(SORBEK_X86_64)

std::size_t Sse2::find(const std::uint8_t* p, std::size_t from, std::size_t to) noexcept {
  const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n');
  std::size_t i = from;
  for (; i + 32 <= to; i += 29) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16));
    auto bits = [&](__m128i byte) {
      return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(low, byte))) |
             static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(high, byte))) << 16;
    };
    if (const std::uint32_t hits = starts(bits(cr), bits(lf))) return i + static_cast<std::size_t>(__builtin_ctz(hits));
  }
  return Portable::find(p, i, to);
}

#elif defined(SORBEK_AARCH64)

std::size_t Neon::find(const std::uint8_t* p, std::size_t from, std::size_t to) noexcept {
  const uint8x16_t cr = vdupq_n_u8('\r'), lf = vdupq_n_u8('\n');
  // One bit per byte of a 16-byte comparison, in byte order.
  static const std::uint8_t weights[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t weight = vld1q_u8(weights);
  auto bits16 = [&](uint8x16_t eq) {
    const uint8x16_t w = vandq_u8(eq, weight);
    return static_cast<std::uint32_t>(vaddv_u8(vget_low_u8(w))) |
           static_cast<std::uint32_t>(vaddv_u8(vget_high_u8(w))) << 8;
  };
  std::size_t i = from;
  for (; i + 32 <= to; i += 29) {
    const uint8x16_t low = vld1q_u8(p + i), high = vld1q_u8(p + i + 16);
    auto bits = [&](uint8x16_t byte) {
      return bits16(vceqq_u8(low, byte)) | bits16(vceqq_u8(high, byte)) << 16;
    };
    if (const std::uint32_t hits = starts(bits(cr), bits(lf))) return i + static_cast<std::size_t>(__builtin_ctz(hits));
  }
  return Portable::find(p, i, to);
}

#endif

}  // namespace sorbek::multipart::blank_line
