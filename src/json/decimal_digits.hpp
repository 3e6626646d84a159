#pragma once
// Decimal digits sixteen at a time, for the number writers. Each kernel turns
// v < 10^16 into its 16 digits (leading zeros included) held in registers,
// and stores them as text with whole-block stores, so that no digit is
// formatted into a scratch area and copied out again.
//
// The SSE2 and NEON kernels are the baseline of their architectures; the
// AVX-512 one is chosen at run time, with the number writers built on it
// (format_number.cpp). The portable kernel is the reference the others are
// tested against.

#include <cstdint>
#include <cstring>

#include "simd/cpu.hpp"

#if defined(SORBEK_X86_64)
#include <immintrin.h>
#elif defined(SORBEK_AARCH64)
#include <arm_neon.h>
#endif

namespace sorbek::json::digits {

// Every kernel has
//   Block convert(high, low): the digits of high * 10^8 + low, both < 10^8;
//   store(out, block): the 16 digits as text at out[0, 16);
//   trailing_zeros(block): how many digits at the end are 0 (16 for none);
//   store_with_point(out, block, point): the text at out[0, 17) with a '.'
//     after the first `point` digits (0 <= point < 16).

// v / 10^4 for v < 10^8, by multiply and shift.
inline std::uint32_t div1e4(std::uint32_t v) noexcept {
  return static_cast<std::uint32_t>((static_cast<std::uint64_t>(v) * 0xD1B71759u) >> 45);
}

// Portable: byte lanes of two 64-bit words, most significant digit first in
// memory. Every lane step divides all lanes at once by a multiply and shift
// that is exact in its range.
struct Portable {
  struct Block {
    std::uint64_t first, second;
  };

  static std::uint64_t eight(std::uint32_t v) noexcept {
    const std::uint64_t upper = div1e4(v);
    const std::uint64_t halves = upper | ((v - upper * 10000) << 32);
    const std::uint64_t hundreds = ((halves * 5243) >> 19) & 0x0000007F0000007Full;  // lane / 100, lane < 10^4
    const std::uint64_t quarters = hundreds | ((halves - hundreds * 100) << 16);
    const std::uint64_t tens = ((quarters * 103) >> 10) & 0x000F000F000F000Full;  // lane / 10, lane < 100
    const std::uint64_t lanes = tens | ((quarters - tens * 10) << 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return __builtin_bswap64(lanes);
#else
    return lanes;
#endif
  }
  static Block convert(std::uint32_t high, std::uint32_t low) noexcept { return {eight(high), eight(low)}; }
  static void store_word(char* out, std::uint64_t lanes) noexcept {
    const std::uint64_t text = lanes + 0x3030303030303030ull;
    std::memcpy(out, &text, 8);
  }
  static void store(char* out, Block b) noexcept {
    store_word(out, b.first);
    store_word(out + 8, b.second);
  }
  static unsigned trailing_zeros(Block b) noexcept {
    auto zeros = [](std::uint64_t lanes) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
      return static_cast<unsigned>(__builtin_ctzll(lanes)) / 8;
#else
      return static_cast<unsigned>(__builtin_clzll(lanes)) / 8;
#endif
    };
    if (b.second != 0) return zeros(b.second);
    return b.first != 0 ? 8 + zeros(b.first) : 16;
  }
  static void store_with_point(char* out, Block b, unsigned point) noexcept {
    char text[16];
    store(text, b);
    std::memcpy(out, text, 16);
    std::memcpy(out + point + 1, text + point, 16 - point);
    out[point] = '.';
  }
};

#if defined(SORBEK_X86_64)

struct Sse2 {
  struct Block {
    __m128i lanes;  // digit values 0..9, one per byte, in text order
  };

  // A constant the compiler must keep in a register: multiplying by it is
  // one instruction, where the compiler would spell a small constant factor
  // out in shifts and adds.
  static __m128i opaque(__m128i v) noexcept {
    __asm__("" : "+x"(v));
    return v;
  }

  static Block convert(std::uint32_t high, std::uint32_t low) noexcept {
    // 64-bit lanes: the two 8-digit halves; then 32-bit lanes: 4-digit quarters.
    const __m128i halves = _mm_set_epi64x(low, high);
    const __m128i upper = _mm_srli_epi64(_mm_mul_epu32(halves, _mm_set1_epi32(static_cast<int>(0xD1B71759u))), 45);
    const __m128i lower = _mm_sub_epi32(halves, _mm_mul_epu32(upper, _mm_set1_epi32(10000)));
    const __m128i quarters = _mm_or_si128(upper, _mm_slli_epi64(lower, 32));
    // 16-bit lanes: 2-digit pairs (q / 100, q % 100), each q < 10^4.
    const __m128i hundreds = _mm_srli_epi16(_mm_mulhi_epu16(quarters, _mm_set1_epi16(5243)), 3);
    const __m128i pairs = _mm_or_si128(
        hundreds, _mm_slli_epi32(_mm_sub_epi16(quarters, _mm_mullo_epi16(hundreds, opaque(_mm_set1_epi16(100)))), 16));
    // Bytes: single digits (p / 10, p % 10), each p < 100.
    const __m128i tens = _mm_mulhi_epu16(pairs, _mm_set1_epi16(103 << 6));
    const __m128i ones = _mm_sub_epi16(pairs, _mm_mullo_epi16(tens, opaque(_mm_set1_epi16(10))));
    return {_mm_or_si128(tens, _mm_slli_epi16(ones, 8))};
  }
  static __m128i text(Block b) noexcept { return _mm_add_epi8(b.lanes, _mm_set1_epi8('0')); }
  static void store(char* out, Block b) noexcept {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), text(b));
  }
  static unsigned trailing_zeros(Block b) noexcept {
    const auto nonzero = static_cast<unsigned>(~_mm_movemask_epi8(_mm_cmpeq_epi8(b.lanes, _mm_setzero_si128())));
    // The low bit of the marker stands for "all 16 are zero".
    return static_cast<unsigned>(__builtin_clz((nonzero << 16) | 0x8000));
  }
  static void store_with_point(char* out, Block b, unsigned point) noexcept {
    const __m128i digits = text(b);
    // The moved digits first, then the block up to and with the point over them.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 1), digits);
    const auto* masks = reinterpret_cast<const char*>(&point_masks) + 16 - point;
    const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(masks));
    const __m128i dot = _mm_loadu_si128(reinterpret_cast<const __m128i*>(masks + 48));
    const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(masks + 96));
    const __m128i moved = _mm_slli_si128(digits, 1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_or_si128(_mm_or_si128(_mm_and_si128(before, digits), _mm_and_si128(after, moved)), dot));
  }

  // Windows of 16 bytes starting 16 - point bytes in: bytes before the
  // point, the point itself, and bytes after it.
  struct PointMasks {
    unsigned char before[48], dot[48], after[48];
  };
  static constexpr PointMasks point_masks = [] {
    PointMasks m{};
    for (int i = 0; i < 48; ++i) {
      m.before[i] = i < 16 ? 0xFF : 0;
      m.dot[i] = i == 16 ? '.' : 0;
      m.after[i] = i > 16 ? 0xFF : 0;
    }
    return m;
  }();
};

// AVX-512 IFMA, on 256-bit vectors (512-bit ones would lower the clock of
// the whole process on some CPUs): the digits of each 8-digit half at once,
// one per 64-bit lane, in a dependency chain of two multiply-adds rather
// than the SSE2 kernel's three multiply stages. Digit i of a half x < 10^8
// is ten times the fraction of x / 10^(8-i), integer part; that fraction is
// taken to 52 bits as the low half of x times ceil(2^52 / 10^(8-i)). The
// constant overshoots by less than a unit per unit of x, so the fraction is
// less than 10^8 units of 2^-52 high, while the exact one lies at least
// 2^52 / 10^(8-i) units below the next digit's boundary: enough for i >= 1.
// Digit 0, whose margin is narrower, is taken directly as the high half of
// x times ceil(2^52 / 10^7): less than 2^-25 high, where x / 10^7 lies at
// least 10^-7 below the next integer. (The kernel tests check all 10^8.)
struct Avx512Ifma : Sse2 {
  // Lanes of the digits 0, 2, 4, 6 and 1, 3, 5, 7 of `x`, so that the
  // second set, shifted into the upper halves of the lanes, falls in place.
  SORBEK_TARGET_AVX512 static __m128i eight(std::uint32_t x) noexcept {
    constexpr std::uint64_t one = std::uint64_t{1} << 52;
    auto scale = [](std::uint64_t power) { return static_cast<long long>(one / power + 1); };
    const __m256i lanes = _mm256_set1_epi64x(x);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i even_fractions = _mm256_madd52lo_epu64(
        zero, lanes, _mm256_set_epi64x(scale(100), scale(10000), scale(1000000), 0));
    const __m256i odd_fractions = _mm256_madd52lo_epu64(
        zero, lanes, _mm256_set_epi64x(scale(10), scale(1000), scale(100000), scale(10000000)));
    const __m256i odd = _mm256_madd52hi_epu64(zero, odd_fractions, _mm256_set1_epi64x(10));
    // The even digits added to the odd ones shifted into the upper halves of
    // the lanes: 32-bit lanes of digits 0 to 7, narrowed to bytes.
    const __m256i digits =
        _mm256_madd52hi_epu64(_mm256_slli_epi64(odd, 32), _mm256_blend_epi32(even_fractions, lanes, 0x03),
                              _mm256_set_epi64x(10, 10, 10, scale(10000000)));
    // (The masked form: GCC 12 warns of the plain one's undefined upper half.)
    return _mm256_maskz_cvtepi32_epi8(0xFF, digits);
  }
  SORBEK_TARGET_AVX512 static Block convert(std::uint32_t high, std::uint32_t low) noexcept {
    return {_mm_unpacklo_epi64(eight(high), eight(low))};
  }
};

using Best = Sse2;

#elif defined(SORBEK_AARCH64)

struct Neon {
  struct Block {
    uint8x16_t lanes;
  };

  static Block convert(std::uint32_t h, std::uint32_t l) noexcept {
    const std::uint32_t hq = div1e4(h), lq = div1e4(l);
    const std::uint32_t quarter_values[4] = {hq, h - hq * 10000, lq, l - lq * 10000};
    const uint32x4_t quarters = vld1q_u32(quarter_values);
    const uint32x4_t hundreds = vshrq_n_u32(vmulq_n_u32(quarters, 5243), 19);
    const uint32x4_t pairs32 = vorrq_u32(hundreds, vshlq_n_u32(vmlsq_n_u32(quarters, hundreds, 100), 16));
    const uint16x8_t pairs = vreinterpretq_u16_u32(pairs32);
    const uint16x8_t tens = vshrq_n_u16(vmulq_n_u16(pairs, 103), 10);
    const uint16x8_t lanes = vorrq_u16(tens, vshlq_n_u16(vmlsq_n_u16(pairs, tens, 10), 8));
    return {vreinterpretq_u8_u16(lanes)};
  }
  static uint8x16_t text(Block b) noexcept { return vaddq_u8(b.lanes, vdupq_n_u8('0')); }
  static void store(char* out, Block b) noexcept { vst1q_u8(reinterpret_cast<std::uint8_t*>(out), text(b)); }
  static unsigned trailing_zeros(Block b) noexcept {
    // Four bits per byte, set for a non-zero digit; the highest marks the last.
    const uint8x8_t nibbles = vshrn_n_u16(vreinterpretq_u16_u8(vtstq_u8(b.lanes, b.lanes)), 4);
    const std::uint64_t mask = vget_lane_u64(vreinterpret_u64_u8(nibbles), 0);
    return mask != 0 ? static_cast<unsigned>(__builtin_clzll(mask)) / 4 : 16;
  }
  static void store_with_point(char* out, Block b, unsigned point) noexcept {
    const uint8x16_t digits = text(b);
    vst1q_u8(reinterpret_cast<std::uint8_t*>(out + 1), digits);
    static const std::uint8_t index_values[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const uint8x16_t index = vld1q_u8(index_values);
    const uint8x16_t at = vdupq_n_u8(static_cast<std::uint8_t>(point));
    const uint8x16_t before = vcgtq_u8(at, index);
    const uint8x16_t is_point = vceqq_u8(at, index);
    const uint8x16_t moved = vextq_u8(vdupq_n_u8(0), digits, 15);
    const uint8x16_t merged = vbslq_u8(before, digits, vbslq_u8(is_point, vdupq_n_u8('.'), moved));
    vst1q_u8(reinterpret_cast<std::uint8_t*>(out), merged);
  }
};

using Best = Neon;

#else

using Best = Portable;

#endif

}  // namespace sorbek::json::digits
