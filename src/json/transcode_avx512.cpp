// The stats and the recoding with AVX-512 (BW and VBMI2): 64 bytes a step,
// any mix of characters, without tables. Each position's unit is computed
// from its byte and the few after it, and the units of the positions that
// start a character are gathered by a compress instruction; a character is
// written by the step that holds its lead byte, whose loads one to three
// bytes on reach into the next step's bytes. The last, partial step reads
// with masked loads, so nothing beyond the text is read, and every store is
// masked to the units written, so nothing beyond them is written: a str's
// storage is exactly its length. (Full stores where there is room cost user
// reviews 4%: twice the writes, on output larger than the L2 cache.)

#include "json/transcode.hpp"

#if defined(SORBEK_X86_64)

// GCC 12's AVX-512 intrinsics spell an undefined vector as a variable
// initialised from itself, which its own warning then reports at each use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstdint>

namespace sorbek::json::transcode {

namespace {

using Mask = std::uint64_t;

SORBEK_TARGET_AVX512 inline Mask first(std::size_t count) noexcept {
  return count >= 64 ? ~Mask{0} : _bzhi_u64(~Mask{0}, static_cast<unsigned>(count));
}

SORBEK_TARGET_AVX512 inline __m512i load(const char* p, std::size_t left) noexcept {
  return left >= 64 ? _mm512_loadu_si512(p) : _mm512_maskz_loadu_epi8(first(left), p);
}

// Bytes 0x80 to 0xBF (below 0xC0 as signed bytes) continue a character.
SORBEK_TARGET_AVX512 inline Mask continuation_of(__m512i v) noexcept {
  return _mm512_cmplt_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(0xC0)));
}

SORBEK_TARGET_AVX512 inline __m512i widen(__m512i v, int half) noexcept {
  return _mm512_cvtepu8_epi16(half == 0 ? _mm512_castsi512_si256(v) : _mm512_extracti64x4_epi64(v, 1));
}

// The 16-bit unit of each of 32 positions: its byte where ASCII, the
// character it leads where a lead byte (of two or three bytes), garbage
// where it continues one.
SORBEK_TARGET_AVX512 inline __m512i units_of(__m512i b0, __m512i b1, __m512i b2) noexcept {
  const __m512i low6 = _mm512_set1_epi16(0x3F);
  const __m512i tail = _mm512_and_si512(b1, low6);
  const __m512i two = _mm512_or_si512(_mm512_slli_epi16(_mm512_and_si512(b0, _mm512_set1_epi16(0x1F)), 6), tail);
  const __m512i three =
      _mm512_or_si512(_mm512_or_si512(_mm512_slli_epi16(b0, 12), _mm512_slli_epi16(tail, 6)), _mm512_and_si512(b2, low6));
  __m512i unit = _mm512_mask_mov_epi16(b0, _mm512_cmpgt_epu16_mask(b0, _mm512_set1_epi16(0xBF)), two);
  return _mm512_mask_mov_epi16(unit, _mm512_cmpgt_epu16_mask(b0, _mm512_set1_epi16(0xDF)), three);
}

// Stores `count` 16-bit lanes of `units` as units.
SORBEK_TARGET_AVX512 inline void put(std::uint16_t* out, __m512i units, unsigned count) noexcept {
  _mm512_mask_storeu_epi16(out, static_cast<__mmask32>(first(count)), units);
}
SORBEK_TARGET_AVX512 inline void put(std::uint32_t* out, __m512i units, unsigned count) noexcept {
  _mm512_mask_storeu_epi32(out, static_cast<__mmask16>(first(count)),
                           _mm512_cvtepu16_epi32(_mm512_castsi512_si256(units)));
  if (count > 16) {
    _mm512_mask_storeu_epi32(out + 16, static_cast<__mmask16>(first(count - 16)),
                             _mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(units, 1)));
  }
}

// A step's 16 positions from `quarter` on as 32-bit units (UCS-4), for a
// step that holds a 4-byte character: b3 is the byte three on.
SORBEK_TARGET_AVX512 inline __m512i code_points_of(__m512i v, __m512i v1, __m512i v2, __m512i v3, int quarter) noexcept {
  // The extract takes its index as an immediate: one for each (the
  // caller's loop is unrolled, and the switch with it).
  const auto lanes = [quarter](__m512i x) SORBEK_TARGET_AVX512 {
    switch (quarter) {
      case 0: return _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(x, 0));
      case 1: return _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(x, 1));
      case 2: return _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(x, 2));
      default: return _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(x, 3));
    }
  };
  const __m512i b0 = lanes(v), b1 = _mm512_and_si512(lanes(v1), _mm512_set1_epi32(0x3F));
  const __m512i b2 = _mm512_and_si512(lanes(v2), _mm512_set1_epi32(0x3F));
  const __m512i b3 = _mm512_and_si512(lanes(v3), _mm512_set1_epi32(0x3F));
  const __m512i two = _mm512_or_si512(_mm512_slli_epi32(_mm512_and_si512(b0, _mm512_set1_epi32(0x1F)), 6), b1);
  const __m512i three = _mm512_or_si512(
      _mm512_or_si512(_mm512_slli_epi32(_mm512_and_si512(b0, _mm512_set1_epi32(0x0F)), 12), _mm512_slli_epi32(b1, 6)),
      b2);
  const __m512i four = _mm512_or_si512(
      _mm512_or_si512(_mm512_slli_epi32(_mm512_and_si512(b0, _mm512_set1_epi32(0x07)), 18), _mm512_slli_epi32(b1, 12)),
      _mm512_or_si512(_mm512_slli_epi32(b2, 6), b3));
  __m512i unit = _mm512_mask_mov_epi32(b0, _mm512_cmpgt_epu32_mask(b0, _mm512_set1_epi32(0xBF)), two);
  unit = _mm512_mask_mov_epi32(unit, _mm512_cmpgt_epu32_mask(b0, _mm512_set1_epi32(0xDF)), three);
  return _mm512_mask_mov_epi32(unit, _mm512_cmpgt_epu32_mask(b0, _mm512_set1_epi32(0xEF)), four);
}

// Where 3-byte characters follow each other from a step's first byte: the
// bits of their continuation bytes and of their lead bytes.
constexpr Mask trailing_pattern = 0x6DB6DB6DB6DB6DB6u, lead_pattern = 0x9249249249249249u;

// 63 bytes of 21 3-byte characters: each byte, masked by class_mask, equals
// class_bits (lead bytes 0xE0 to 0xEF, then continuation bytes), and the
// permutes that take the j-th character's lead byte into 16-bit lane j, and
// its second and third bytes as (second << 8) | third.
struct alignas(64) CjkTables {
  char class_mask[64], class_bits[64], lead_index[64], tail_index[64];
};

constexpr CjkTables make_cjk_tables() {
  CjkTables t{};
  for (int i = 0; i < 64; ++i) {
    const bool lead = i % 3 == 0;
    t.class_mask[i] = static_cast<char>(i == 63 ? 0 : lead ? 0xF0 : 0xC0);
    t.class_bits[i] = static_cast<char>(i == 63 ? 0 : lead ? 0xE0 : 0x80);
  }
  for (int j = 0; j < 32; ++j) {
    const int at = j < 21 ? 3 * j : 0;
    t.lead_index[2 * j] = t.lead_index[2 * j + 1] = static_cast<char>(at);
    t.tail_index[2 * j] = static_cast<char>(at + 2);
    t.tail_index[2 * j + 1] = static_cast<char>(at + 1);
  }
  return t;
}

constexpr CjkTables cjk_tables = make_cjk_tables();
constexpr Mask cjk_bytes = ~Mask{0};  // the 64th byte's class is 0: it always matches

struct CjkVectors {
  __m512i class_mask, class_bits, lead_index, tail_index;
};

// UTF-16 or UCS-4, by the unit.
template <class Unit>
SORBEK_TARGET_AVX512 std::size_t units_avx512(const char* p, std::size_t n, Unit* out) noexcept {
  std::size_t r = 0, w = 0;
  // UTF-16: a 4-byte character's second unit (its low surrogate) is kept at
  // the position after its lead byte, which, after a step's last byte, is
  // the next step's first.
  Mask carry = 0;
  const CjkVectors cjk = {_mm512_load_si512(cjk_tables.class_mask), _mm512_load_si512(cjk_tables.class_bits),
                          _mm512_load_si512(cjk_tables.lead_index), _mm512_load_si512(cjk_tables.tail_index)};
  while (r < n) {
    const std::size_t left = n - r;
    const auto count = static_cast<unsigned>(std::min<std::size_t>(left, 64));
    const __m512i v = load(p + r, left);
    const Mask high = _mm512_movepi8_mask(v);
    if (high == 0) {
      put(out + w, widen(v, 0), std::min(count, 32u));
      if (count > 32) put(out + w + 32, widen(v, 1), count - 32);
      r += count;
      w += count;
      continue;
    }
    // A lead byte's continuation bytes may lie in the next step: the loads
    // one and two (and three) bytes on reach them, within the text.
    const __m512i v1 = load(p + r + 1, left - 1), v2 = load(p + r + 2, left >= 2 ? left - 2 : 0);
    const Mask starts = ~continuation_of(v) & first(count);
    const Mask four = _mm512_cmpge_epu8_mask(v, _mm512_set1_epi8(static_cast<char>(0xF0)));
    if (high == ~Mask{0} && (four | carry) == 0) {
      // CJK text (and most other 3-byte text) is recoded 21 characters from
      // each 63 bytes, with one load, one test against the pattern of lead
      // and continuation bytes and two byte permutes, from the first
      // character this step starts where the whole step is such text
      // (simple_object_zh.json: 0.53 of the time).
      const Mask continuation = continuation_of(v);
      const auto skip = static_cast<unsigned>(std::countr_zero(~continuation));
      const Mask span = first(64 - skip);
      const Mask three = _mm512_cmpge_epu8_mask(v, _mm512_set1_epi8(static_cast<char>(0xE0)));
      if (((continuation >> skip) & span) == (trailing_pattern & span) &&
          ((three >> skip) & span) == (lead_pattern & span)) {
        std::size_t at = r + skip;
        for (; at + 64 <= n; at += 63) {
          const __m512i x = _mm512_loadu_si512(p + at);
          if (_mm512_cmpeq_epi8_mask(_mm512_and_si512(x, cjk.class_mask), cjk.class_bits) != cjk_bytes) break;
          const __m512i lead = _mm512_maskz_permutexvar_epi8(0x5555555555555555u, cjk.lead_index, x);
          const __m512i tail = _mm512_permutexvar_epi8(cjk.tail_index, x);
          const __m512i units = _mm512_ternarylogic_epi32(
              _mm512_slli_epi16(lead, 12), _mm512_and_si512(_mm512_srli_epi16(tail, 2), _mm512_set1_epi16(0x0FC0)),
              _mm512_and_si512(tail, _mm512_set1_epi16(0x3F)), 0xFE);
          put(out + w, units, 21);
          w += 21;
        }
        if (at > r + skip) {
          r = at;
          continue;
        }
      }
    }
    if ((four | carry) == 0) {
      for (int half = 0; half < 2; ++half) {
        const auto keep = static_cast<__mmask32>(starts >> (32 * half));
        const __m512i units = units_of(widen(v, half), widen(v1, half), widen(v2, half));
        const auto kept = static_cast<unsigned>(std::popcount(keep));
        put(out + w, _mm512_maskz_compress_epi16(keep, units), kept);
        w += kept;
      }
    } else if constexpr (sizeof(Unit) == 2) {
      // The high surrogate at the lead byte, from its bits and the next two
      // bytes'; the low one at the next position, from the last two bytes.
      const Mask second = (four << 1) | carry;
      carry = four >> 63;
      for (int half = 0; half < 2; ++half) {
        const auto lead = static_cast<__mmask32>(four >> (32 * half));
        const auto trail = static_cast<__mmask32>(second >> (32 * half));
        const auto keep = static_cast<__mmask32>(starts >> (32 * half)) | trail;
        const __m512i b0 = widen(v, half), b1 = widen(v1, half), b2 = widen(v2, half);
        __m512i units = units_of(b0, b1, b2);
        const __m512i high_surrogate = _mm512_add_epi16(
            _mm512_or_si512(
                _mm512_or_si512(_mm512_slli_epi16(_mm512_and_si512(b0, _mm512_set1_epi16(0x07)), 8),
                                _mm512_slli_epi16(_mm512_and_si512(b1, _mm512_set1_epi16(0x3F)), 2)),
                _mm512_and_si512(_mm512_srli_epi16(b2, 4), _mm512_set1_epi16(0x03))),
            _mm512_set1_epi16(static_cast<short>(0xD7C0)));
        const __m512i low_surrogate = _mm512_or_si512(
            _mm512_or_si512(_mm512_slli_epi16(_mm512_and_si512(b1, _mm512_set1_epi16(0x0F)), 6),
                            _mm512_and_si512(b2, _mm512_set1_epi16(0x3F))),
            _mm512_set1_epi16(static_cast<short>(0xDC00)));
        units = _mm512_mask_mov_epi16(units, lead, high_surrogate);
        units = _mm512_mask_mov_epi16(units, trail, low_surrogate);
        const auto kept = static_cast<unsigned>(std::popcount(keep));
        put(out + w, _mm512_maskz_compress_epi16(keep, units), kept);
        w += kept;
      }
    } else {
      const __m512i v3 = load(p + r + 3, left >= 3 ? left - 3 : 0);
      for (int quarter = 0; quarter < 4; ++quarter) {
        const auto keep = static_cast<__mmask16>(starts >> (16 * quarter));
        const auto kept = static_cast<unsigned>(std::popcount(keep));
        _mm512_mask_storeu_epi32(out + w, static_cast<__mmask16>(first(kept)),
                                 _mm512_maskz_compress_epi32(keep, code_points_of(v, v1, v2, v3, quarter)));
        w += kept;
      }
    }
    r += count;
  }
  return w;
}

}  // namespace

SORBEK_TARGET_AVX512 std::size_t to_utf16_avx512(const char* p, std::size_t n, std::uint16_t* out,
                                                 std::size_t) noexcept {
  return units_avx512(p, n, out);
}
SORBEK_TARGET_AVX512 std::size_t to_ucs4_avx512(const char* p, std::size_t n, std::uint32_t* out,
                                                std::size_t) noexcept {
  return units_avx512(p, n, out);
}

// Latin-1 (lead bytes 0xC2 and 0xC3 only): each lead byte's two low bits and
// the next byte's six, the continuation bytes dropped. In place, a step's
// store ends no later than its own 64 bytes, all of which it has read.
SORBEK_TARGET_AVX512 std::size_t to_latin1_avx512(const char* p, std::size_t n, char* out) noexcept {
  std::size_t r = 0, w = 0;
  while (r < n) {
    const std::size_t left = n - r;
    const __m512i v = load(p + r, left);
    const auto count = static_cast<unsigned>(std::min<std::size_t>(left, 64));
    if (_mm512_movepi8_mask(v) == 0) {
      _mm512_mask_storeu_epi8(out + w, first(count), v);
      r += count;
      w += count;
      continue;
    }
    const __m512i v1 = load(p + r + 1, left - 1);
    // The 16-bit shift moves each byte's two low bits to its top; what it
    // carries in from the byte below is masked off.
    const __m512i lead_bits = _mm512_and_si512(_mm512_slli_epi16(v, 6), _mm512_set1_epi8(static_cast<char>(0xC0)));
    const __m512i decoded = _mm512_or_si512(lead_bits, _mm512_and_si512(v1, _mm512_set1_epi8(0x3F)));
    const __m512i units = _mm512_mask_mov_epi8(v, _mm512_movepi8_mask(v), decoded);
    const Mask starts = ~continuation_of(v) & first(count);
    const auto kept = static_cast<unsigned>(std::popcount(starts));
    _mm512_mask_storeu_epi8(out + w, first(kept), _mm512_maskz_compress_epi8(starts, units));
    r += count;
    w += kept;
  }
  return w;
}

namespace {

SORBEK_TARGET_AVX512 inline unsigned max_byte_of(__m512i m) noexcept {
  const __m256i m256 = _mm256_max_epu8(_mm512_castsi512_si256(m), _mm512_extracti64x4_epi64(m, 1));
  return horizontal_max(_mm_max_epu8(_mm256_castsi256_si128(m256), _mm256_extracti128_si256(m256, 1)));
}

}  // namespace

// One pass: the largest byte alone while the text is ASCII (four
// accumulators, so that the loop is not bound by one chain of maxima),
// and from the first 256 bytes with a byte of 0x80 or more on, the counts
// beside it (the ASCII before them adds nothing to either).
SORBEK_TARGET_AVX512 TextStats stats_avx512(const char* p, std::size_t n) noexcept {
  __m512i a = _mm512_setzero_si512(), b = a, c = a, d = a;
  std::size_t i = 0;
  for (; i + 256 <= n; i += 256) {
    a = _mm512_max_epu8(a, _mm512_loadu_si512(p + i));
    b = _mm512_max_epu8(b, _mm512_loadu_si512(p + i + 64));
    c = _mm512_max_epu8(c, _mm512_loadu_si512(p + i + 128));
    d = _mm512_max_epu8(d, _mm512_loadu_si512(p + i + 192));
    if (_mm512_movepi8_mask(_mm512_max_epu8(_mm512_max_epu8(a, b), _mm512_max_epu8(c, d))) != 0) break;
  }
  a = _mm512_max_epu8(_mm512_max_epu8(a, b), _mm512_max_epu8(c, d));
  std::size_t high = 0, continuation = 0;
  for (; i < n; i += 64) {
    const __m512i v = load(p + i, n - i);
    a = _mm512_max_epu8(a, v);
    high += static_cast<std::size_t>(std::popcount(_mm512_movepi8_mask(v)));
    continuation += static_cast<std::size_t>(std::popcount(continuation_of(v)));
  }
  return {max_byte_of(a), high, continuation};
}

}  // namespace sorbek::json::transcode

#endif
