#include "json/utf8_from_units.hpp"

#if defined(SORBEK_X86_64)
// GCC 12's AVX-512 intrinsics spell an undefined vector as a variable
// initialised from itself, which its own warning then reports at each use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>
#endif

#include <bit>

namespace sorbek::json::units {

namespace {

template <class Unit>
std::size_t portable(const Unit* units, std::size_t n, char* out, std::size_t& done) noexcept {
  char* o = out;
  std::size_t i = 0;
  for (; i < n; ++i) {
    const std::uint32_t c = units[i];
    if (stops_at(c)) break;
    if (c < 0x80) {
      *o++ = static_cast<char>(c);
    } else if (c < 0x800) {
      o[0] = static_cast<char>(0xC0 | (c >> 6));
      o[1] = static_cast<char>(0x80 | (c & 0x3F));
      o += 2;
    } else if (c < 0x10000) {
      o[0] = static_cast<char>(0xE0 | (c >> 12));
      o[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      o[2] = static_cast<char>(0x80 | (c & 0x3F));
      o += 3;
    } else {
      o[0] = static_cast<char>(0xF0 | (c >> 18));
      o[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      o[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      o[3] = static_cast<char>(0x80 | (c & 0x3F));
      o += 4;
    }
  }
  done = i;
  return static_cast<std::size_t>(o - out);
}

#if defined(SORBEK_X86_64)

// Up to 16 units from `units`, as 32-bit lanes (zero beyond `count`).
SORBEK_TARGET_AVX512 inline __m512i load16(const std::uint8_t* units, __mmask16 valid) noexcept {
  return _mm512_cvtepu8_epi32(_mm_maskz_loadu_epi8(valid, units));
}
SORBEK_TARGET_AVX512 inline __m512i load16(const std::uint16_t* units, __mmask16 valid) noexcept {
  return _mm512_cvtepu16_epi32(_mm256_maskz_loadu_epi16(valid, units));
}
SORBEK_TARGET_AVX512 inline __m512i load16(const std::uint32_t* units, __mmask16 valid) noexcept {
  return _mm512_maskz_loadu_epi32(valid, units);
}

// Where a run of ASCII units needs no escape, the widest block of them at
// once (64 bytes, 32 or 16 units): the units written, or 0.
SORBEK_TARGET_AVX512 inline __mmask64 escapes_of(__m512i bytes) noexcept {
  return _mm512_cmplt_epu8_mask(bytes, _mm512_set1_epi8(0x20)) | _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('"')) |
         _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\\'));
}
template <class Unit>
SORBEK_TARGET_AVX512 inline std::size_t ascii_block(const Unit* units, char* o) noexcept {
  constexpr unsigned count = 64 / sizeof(Unit);
  const __m512i v = _mm512_loadu_si512(units);
  __mmask64 wide;
  __m512i bytes;
  if constexpr (sizeof(Unit) == 1) {
    wide = _mm512_movepi8_mask(v);
    bytes = v;
  } else if constexpr (sizeof(Unit) == 2) {
    wide = _mm512_cmpge_epu16_mask(v, _mm512_set1_epi16(0x80));
    bytes = _mm512_castsi256_si512(_mm512_cvtepi16_epi8(v));
  } else {
    wide = _mm512_cmpge_epu32_mask(v, _mm512_set1_epi32(0x80));
    bytes = _mm512_castsi128_si512(_mm512_cvtepi32_epi8(v));
  }
  const __mmask64 taken = _bzhi_u64(~std::uint64_t{0}, count);
  if (wide != 0 || (escapes_of(bytes) & taken) != 0) return 0;
  _mm512_mask_storeu_epi8(o, taken, bytes);
  return count;
}

// Up to 32 units as 16-bit lanes (zero beyond `valid`).
SORBEK_TARGET_AVX512 inline __m512i load32(const std::uint8_t* units, __mmask32 valid) noexcept {
  return _mm512_cvtepu8_epi16(_mm256_maskz_loadu_epi8(valid, units));
}
SORBEK_TARGET_AVX512 inline __m512i load32(const std::uint16_t* units, __mmask32 valid) noexcept {
  return _mm512_maskz_loadu_epi16(valid, units);
}

// The UTF-8 of characters below U+0800 taking two bytes, in 16-bit lanes
// (the lead byte first); of characters taking three, their first two bytes
// so and the third in each lane's low byte.
SORBEK_TARGET_AVX512 inline __m512i two_byte_lanes(__m512i c) noexcept {
  return _mm512_ternarylogic_epi32(_mm512_set1_epi16(static_cast<short>(0x80C0)), _mm512_srli_epi16(c, 6),
                                   _mm512_slli_epi16(_mm512_and_si512(c, _mm512_set1_epi16(0x3F)), 8), 0xFE);
}
SORBEK_TARGET_AVX512 inline __m512i three_byte_heads(__m512i c) noexcept {
  return _mm512_ternarylogic_epi32(
      _mm512_set1_epi16(static_cast<short>(0x80E0)), _mm512_srli_epi16(c, 12),
      _mm512_slli_epi16(_mm512_and_si512(_mm512_srli_epi16(c, 6), _mm512_set1_epi16(0x3F)), 8), 0xFE);
}
SORBEK_TARGET_AVX512 inline __m512i three_byte_tails(__m512i c) noexcept {
  return _mm512_or_si512(_mm512_set1_epi16(0x80), _mm512_and_si512(c, _mm512_set1_epi16(0x3F)));
}

// For 32 characters of three bytes: the permutes of their first two bytes
// (16-bit lane j) and third ones (low byte of lane j, the second source)
// into output bytes 0 to 63 and 64 to 95; for 16 characters of any width
// (a half of the lanes), the same into three byte places each, 48 of them,
// for a compress to keep those they take.
struct alignas(64) ThreeIndex {
  char low[64], high[64];
  char half[2][64];
};

constexpr ThreeIndex make_three_index() {
  ThreeIndex t{};
  for (int k = 0; k < 128; ++k) {
    const int j = k / 3, r = k % 3;
    const char at = static_cast<char>(k >= 96 ? 0 : r == 2 ? 64 + 2 * j : 2 * j + r);
    (k < 64 ? t.low : t.high)[k % 64] = at;
  }
  for (int h = 0; h < 2; ++h) {
    for (int k = 0; k < 64; ++k) t.half[h][k] = static_cast<char>(k < 48 ? t.low[k] + 32 * h : 0);
  }
  return t;
}

// The byte places of 16 characters' first, second and third bytes.
constexpr std::uint64_t place_bits(unsigned r) {
  std::uint64_t bits = 0;
  for (unsigned j = 0; j < 16; ++j) bits |= std::uint64_t{1} << (3 * j + r);
  return bits;
}

constexpr ThreeIndex three_index = make_three_index();

// 32 units, none of them a stop, in 16-bit lanes: where none takes three
// bytes, each lane's one or two bytes (kept by a compress where they mix;
// stored whole where all take two); where all take three, two byte permutes.
// The bytes written.
SORBEK_TARGET_AVX512 inline std::ptrdiff_t word_step(__m512i c, __mmask32 valid, char* o,
                                                     const ThreeIndex& index) noexcept {
  const __mmask32 three = _mm512_cmpge_epu16_mask(c, _mm512_set1_epi16(0x800)) & valid;
  const __mmask32 two = _mm512_cmpge_epu16_mask(c, _mm512_set1_epi16(0x80)) & valid;
  if (three == 0) {
    const __m512i t = _mm512_mask_mov_epi16(c, two, two_byte_lanes(c));
    if (two == 0xFFFFFFFFu) {
      _mm512_storeu_si512(o, t);
      return 64;
    }
    const __mmask64 keep = _pdep_u64(valid, 0x5555555555555555u) | _pdep_u64(two, 0xAAAAAAAAAAAAAAAAu);
    _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(keep, t));
    return std::popcount(keep);
  }
  __m512i first_two = three_byte_heads(c);
  const __m512i third = three_byte_tails(c);
  if (three == 0xFFFFFFFFu) {
    _mm512_storeu_si512(o, _mm512_permutex2var_epi8(first_two, _mm512_load_si512(index.low), third));
    _mm512_storeu_si512(o + 64, _mm512_permutex2var_epi8(first_two, _mm512_load_si512(index.high), third));
    return 96;
  }
  // A mix with 3-byte characters (CJK with ASCII between): each half's 16
  // characters in three byte places each, and those they take kept.
  first_two = _mm512_mask_mov_epi16(_mm512_mask_mov_epi16(c, two, two_byte_lanes(c)), three, first_two);
  char* const start = o;
  for (unsigned h = 0; h < 2; ++h) {
    const std::uint64_t keep = _pdep_u64(valid >> (16 * h), place_bits(0)) | _pdep_u64(two >> (16 * h), place_bits(1)) |
                               _pdep_u64(three >> (16 * h), place_bits(2));
    const __m512i places = _mm512_permutex2var_epi8(first_two, _mm512_load_si512(index.half[h]), third);
    _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(keep, places));
    o += std::popcount(keep);
  }
  return o - start;
}

// Latin-1 and UCS-2 units 32 a step in 16-bit lanes (word_step), any other
// mix and UCS-4 units 16 a step, each unit's UTF-8 (one to four bytes) in
// its own 32-bit lane and the bytes it takes gathered by a compress; ASCII
// 64 bytes of units at a time.
template <class Unit>
SORBEK_TARGET_AVX512 std::size_t avx512(const Unit* units, std::size_t n, char* out, std::size_t& done) noexcept {
  constexpr std::size_t ascii_units = 64 / sizeof(Unit);
  char* o = out;
  std::size_t i = 0;
  while (i < n) {
    if (i + ascii_units <= n) {
      if (const std::size_t moved = ascii_block(units + i, o)) {
        i += moved;
        o += moved;
        continue;
      }
    }
    if constexpr (sizeof(Unit) == 1) {
      // Latin-1: 64 units tested at once (no surrogates, nor characters of
      // three bytes), each half's one or two bytes a unit kept by a compress.
      if (i + 64 <= n) {
        const __m512i v = _mm512_loadu_si512(units + i);
        if (escapes_of(v) == 0) {
          const std::uint64_t high = _mm512_movepi8_mask(v);
          for (unsigned h = 0; h < 2; ++h) {
            const __m512i c = _mm512_cvtepu8_epi16(h == 0 ? _mm512_castsi512_si256(v) : _mm512_extracti64x4_epi64(v, 1));
            const auto two = static_cast<__mmask32>(high >> (32 * h));
            const std::uint64_t keep = 0x5555555555555555u | _pdep_u64(two, 0xAAAAAAAAAAAAAAAAu);
            _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(keep, _mm512_mask_mov_epi16(c, two, two_byte_lanes(c))));
            o += std::popcount(keep);
          }
          i += 64;
          continue;
        }
      }
    }
    if constexpr (sizeof(Unit) <= 2) {
      const std::size_t count = n - i < 32 ? n - i : 32;
      const auto valid = static_cast<__mmask32>(_bzhi_u32(~0u, static_cast<unsigned>(count)));
      const __m512i c = load32(units + i, valid);
      const __mmask32 stop = _mm512_cmplt_epu16_mask(c, _mm512_set1_epi16(0x20)) |
                             _mm512_cmpeq_epi16_mask(c, _mm512_set1_epi16('"')) |
                             _mm512_cmpeq_epi16_mask(c, _mm512_set1_epi16('\\')) |
                             _mm512_cmpeq_epi16_mask(_mm512_and_si512(c, _mm512_set1_epi16(static_cast<short>(0xF800))),
                                                     _mm512_set1_epi16(static_cast<short>(0xD800)));
      if ((stop & valid) == 0) {
        const std::ptrdiff_t written = word_step(c, valid, o, three_index);
        o += written;
        i += count;
        if constexpr (sizeof(Unit) == 2) {
          // Within CJK text, the next steps of 3-byte characters only (no
          // surrogate either) in a loop of their own, with one test each.
          if (written == 96) {
            const __m512i low = _mm512_load_si512(three_index.low), high = _mm512_load_si512(three_index.high);
            for (; i + 32 <= n; i += 32, o += 96) {
              const __m512i d = _mm512_loadu_si512(units + i);
              const __mmask32 other =
                  _mm512_cmplt_epu16_mask(d, _mm512_set1_epi16(0x800)) |
                  _mm512_cmpeq_epi16_mask(_mm512_and_si512(d, _mm512_set1_epi16(static_cast<short>(0xF800))),
                                          _mm512_set1_epi16(static_cast<short>(0xD800)));
              if (other != 0) break;
              const __m512i first_two = three_byte_heads(d), third = three_byte_tails(d);
              _mm512_storeu_si512(o, _mm512_permutex2var_epi8(first_two, low, third));
              _mm512_storeu_si512(o + 64, _mm512_permutex2var_epi8(first_two, high, third));
            }
          }
        }
        continue;
      }
    }
    const std::size_t count = n - i < 16 ? n - i : 16;
    const auto valid = static_cast<__mmask16>(_bzhi_u32(0xFFFF, static_cast<unsigned>(count)));
    const __m512i c = load16(units + i, valid);
    const __m512i low6 = _mm512_and_si512(c, _mm512_set1_epi32(0x3F));
    const __m512i mid6 = _mm512_and_si512(_mm512_srli_epi32(c, 6), _mm512_set1_epi32(0x3F));
    const __m512i high6 = _mm512_and_si512(_mm512_srli_epi32(c, 12), _mm512_set1_epi32(0x3F));
    const __mmask16 stop = _mm512_cmplt_epu32_mask(c, _mm512_set1_epi32(0x20)) |
                           _mm512_cmpeq_epi32_mask(c, _mm512_set1_epi32('"')) |
                           _mm512_cmpeq_epi32_mask(c, _mm512_set1_epi32('\\')) |
                           _mm512_cmpeq_epi32_mask(_mm512_and_si512(c, _mm512_set1_epi32(~0x7FF)),
                                                   _mm512_set1_epi32(0xD800));
    // The units before the first stop, or all: a branch, so that the next
    // step's loads need not wait for this one's units.
    unsigned taken = static_cast<unsigned>(count);
    if ((stop & valid) != 0) [[unlikely]] taken = static_cast<unsigned>(std::countr_zero(static_cast<unsigned>(stop & valid)));
    const __mmask16 two = _mm512_cmpge_epu32_mask(c, _mm512_set1_epi32(0x80));
    const __mmask16 three = _mm512_cmpge_epu32_mask(c, _mm512_set1_epi32(0x800));
    const __mmask16 four = _mm512_cmpge_epu32_mask(c, _mm512_set1_epi32(0x10000));
    const __m512i tail = _mm512_set1_epi32(0x80);
    __m512i v = _mm512_mask_mov_epi32(
        c, two,
        _mm512_or_si512(_mm512_or_si512(_mm512_set1_epi32(0xC0), _mm512_srli_epi32(c, 6)),
                        _mm512_slli_epi32(_mm512_or_si512(tail, low6), 8)));
    v = _mm512_mask_mov_epi32(
        v, three,
        _mm512_or_si512(_mm512_or_si512(_mm512_set1_epi32(0xE0), _mm512_srli_epi32(c, 12)),
                        _mm512_or_si512(_mm512_slli_epi32(_mm512_or_si512(tail, mid6), 8),
                                        _mm512_slli_epi32(_mm512_or_si512(tail, low6), 16))));
    v = _mm512_mask_mov_epi32(
        v, four,
        _mm512_or_si512(
            _mm512_or_si512(_mm512_or_si512(_mm512_set1_epi32(0xF0), _mm512_srli_epi32(c, 18)),
                            _mm512_slli_epi32(_mm512_or_si512(tail, high6), 8)),
            _mm512_or_si512(_mm512_slli_epi32(_mm512_or_si512(tail, mid6), 16),
                            _mm512_slli_epi32(_mm512_or_si512(tail, low6), 24))));
    // The bytes of each lane that its unit takes, as a byte mask.
    __m512i marks = _mm512_set1_epi32(0xFF);
    marks = _mm512_mask_mov_epi32(marks, two, _mm512_set1_epi32(0xFFFF));
    marks = _mm512_mask_mov_epi32(marks, three, _mm512_set1_epi32(0xFFFFFF));
    marks = _mm512_mask_mov_epi32(marks, four, _mm512_set1_epi32(-1));
    const __mmask64 keep =
        _mm512_test_epi8_mask(marks, marks) & _bzhi_u64(~std::uint64_t{0}, 4 * taken);
    _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(keep, v));
    o += std::popcount(keep);
    i += taken;
    if (taken < count) break;
  }
  done = i;
  return static_cast<std::size_t>(o - out);
}

#endif

}  // namespace

Kernels kernels_for(simd::Isa isa) noexcept {
#if defined(SORBEK_X86_64)
  if (isa == simd::Isa::avx512 && simd::isa_available(simd::Isa::avx512)) {
    return {&avx512<std::uint8_t>, &avx512<std::uint16_t>, &avx512<std::uint32_t>};
  }
#endif
  (void)isa;
  return {&portable<std::uint8_t>, &portable<std::uint16_t>, &portable<std::uint32_t>};
}

const Kernels best = kernels_for(simd::best_isa());
const bool best_is_vector = best.from_ucs2 != kernels_for(simd::Isa::scalar).from_ucs2;

}  // namespace sorbek::json::units
