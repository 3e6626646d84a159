#include "json/transcode.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(SORBEK_X86_64)
#include <immintrin.h>
#elif defined(SORBEK_AARCH64)
#include <arm_neon.h>
#endif

namespace sorbek::json::transcode {

namespace {

inline unsigned char byte_at(const char* p, std::size_t i) noexcept { return static_cast<unsigned char>(p[i]); }

// One character of valid UTF-8 at p[i] (lead byte 0x80 or more): its code
// point, and how many bytes it takes.
inline std::uint32_t decode(const char* p, std::size_t i, std::size_t& length) noexcept {
  const unsigned lead = byte_at(p, i);
  if (lead < 0xE0) {
    length = 2;
    return ((lead & 0x1Fu) << 6) | (byte_at(p, i + 1) & 0x3Fu);
  }
  if (lead < 0xF0) {
    length = 3;
    return ((lead & 0x0Fu) << 12) | ((byte_at(p, i + 1) & 0x3Fu) << 6) | (byte_at(p, i + 2) & 0x3Fu);
  }
  length = 4;
  return ((lead & 0x07u) << 18) | ((byte_at(p, i + 1) & 0x3Fu) << 12) | ((byte_at(p, i + 2) & 0x3Fu) << 6) |
         (byte_at(p, i + 3) & 0x3Fu);
}

// Writes code point `cp` as one UTF-16 unit, or two for a supplementary one;
// as one UCS-4 unit.
inline std::size_t put_unit(std::uint16_t* out, std::uint32_t cp) noexcept {
  if (cp < 0x10000) {
    out[0] = static_cast<std::uint16_t>(cp);
    return 1;
  }
  cp -= 0x10000;
  out[0] = static_cast<std::uint16_t>(0xD800 | (cp >> 10));
  out[1] = static_cast<std::uint16_t>(0xDC00 | (cp & 0x3FF));
  return 2;
}
inline std::size_t put_unit(std::uint32_t* out, std::uint32_t cp) noexcept {
  out[0] = cp;
  return 1;
}

// Stores `Count` characters below U+10000, given as 16-bit lanes of `lanes`.
template <std::size_t Count>
inline void put_lanes(std::uint16_t* out, std::uint64_t lanes) noexcept {
  std::memcpy(out, &lanes, Count * sizeof *out);
}
template <std::size_t Count>
inline void put_lanes(std::uint32_t* out, std::uint64_t lanes) noexcept {
  for (std::size_t i = 0; i < Count; ++i) out[i] = static_cast<std::uint32_t>((lanes >> (16 * i)) & 0xFFFF);
}

inline std::uint64_t load_le64(const char* p) noexcept {
  std::uint64_t x;
  std::memcpy(&x, p, sizeof x);
  return x;
}

// Within a run of non-ASCII characters, 2-byte characters (Cyrillic, Greek,
// Hebrew, Arabic...) are decoded four at a time from 8 bytes, and 3-byte ones
// (CJK, Indic scripts, most punctuation beyond Latin-1) two at a time from 6,
// as long as they come, without a branch on each character's length. Valid
// UTF-8 is assumed: only lead bytes are checked. Returns false, moving
// nothing, where the next 8 bytes hold neither.
template <class Unit>
inline bool wide_run_step(const char* p, std::size_t n, std::size_t& r, Unit* out, std::size_t& w) noexcept {
  if constexpr (std::endian::native != std::endian::little) {
    return false;
  } else {
    constexpr std::uint64_t two_mask = 0xC0E0C0E0C0E0C0E0u, two_leads = 0x80C080C080C080C0u;
    constexpr std::uint64_t three_mask = 0xF00000F0u, three_leads = 0xE00000E0u;
    std::uint64_t x = load_le64(p + r);
    if ((x & two_mask) == two_leads) {
      do {
        put_lanes<4>(out + w, ((x & 0x001F001F001F001Fu) << 6) | ((x >> 8) & 0x003F003F003F003Fu));
        r += 8;
        w += 4;
      } while (r + 8 <= n && ((x = load_le64(p + r)) & two_mask) == two_leads);
      return true;
    }
    if ((x & three_mask) == three_leads) {
      do {
        const std::uint64_t first = ((x & 0x0F) << 12) | ((x >> 2) & 0xFC0) | ((x >> 16) & 0x3F);
        const std::uint64_t second = ((x >> 12) & 0xF000) | ((x >> 26) & 0xFC0) | ((x >> 40) & 0x3F);
        put_lanes<2>(out + w, first | (second << 16));
        r += 6;
        w += 2;
      } while (r + 8 <= n && ((x = load_le64(p + r)) & three_mask) == three_leads);
      return true;
    }
    return false;
  }
}

// The vector kernels share these loops: a block of 16 bytes that is all
// ASCII is moved whole (a well-predicted branch, so that the next block's
// address does not wait for this one's bit scan); otherwise its ASCII start
// is, and the characters after it one by one until ASCII comes back.
template <class Ops>
std::size_t latin1_blocks(const char* p, std::size_t n, char* out) noexcept {
  std::size_t r = 0;
  // In place, nothing moves until the first non-ASCII character.
  if (out == p) {
    while (r + 16 <= n && Ops::all_ascii(p + r)) r += 16;
  }
  std::size_t w = r;
  // Mostly-ASCII text (a large response with an accent here and there) is
  // moved 64 bytes at a time once four blocks in a row were ASCII: text
  // with an accent every few words would fail that test every time.
  unsigned ascii_blocks = 0;
  while (r + 16 <= n) {
    if (ascii_blocks >= 4 && r + 64 <= n && Ops::all_ascii64(p + r)) {
      for (unsigned i = 0; i < 64; i += 16) Ops::move16(out + w + i, p + r + i);
      r += 64;
      w += 64;
      continue;
    }
    if (Ops::all_ascii(p + r)) {
      Ops::move16(out + w, p + r);
      r += 16;
      w += 16;
      ++ascii_blocks;
      continue;
    }
    ascii_blocks = 0;
    // In place, a whole block moved now could overwrite bytes not yet read.
    for (unsigned i = Ops::ascii_prefix(p + r); i > 0; --i) out[w++] = p[r++];
    out[w++] = static_cast<char>(((byte_at(p, r) & 0x1Fu) << 6) | (byte_at(p, r + 1) & 0x3Fu));
    r += 2;
  }
  while (r < n) {
    const unsigned c = byte_at(p, r);
    if (c < 0x80) {
      out[w++] = static_cast<char>(c);
      r += 1;
    } else {
      out[w++] = static_cast<char>(((c & 0x1Fu) << 6) | (byte_at(p, r + 1) & 0x3Fu));
      r += 2;
    }
  }
  return w;
}

// UTF-16 or UCS-4, by the unit.
template <class Ops, class Unit>
std::size_t unit_blocks(const char* p, std::size_t n, Unit* out, std::size_t room) noexcept {
  std::size_t r = 0, w = 0;
  // A block's 16 bytes are widened before they are known to be ASCII, so
  // the vector loop stops 16 units short of the room's end.
  while (r + 16 <= n && w + 16 <= room) {
    Ops::widen(out + w, p + r);
    if (Ops::all_ascii(p + r)) {
      r += 16;
      w += 16;
      continue;
    }
    const unsigned ascii = Ops::ascii_prefix(p + r);
    r += ascii;
    w += ascii;
    // A run of non-ASCII characters (text in most scripts) is decoded here.
    while (r < n && byte_at(p, r) >= 0x80) {
      if (r + 8 <= n && wide_run_step(p, n, r, out, w)) continue;
      std::size_t length;
      w += put_unit(out + w, decode(p, r, length));
      r += length;
    }
  }
  while (r < n) {
    if (byte_at(p, r) < 0x80) {
      out[w++] = byte_at(p, r++);
    } else {
      std::size_t length;
      w += put_unit(out + w, decode(p, r, length));
      r += length;
    }
  }
  return w;
}

}  // namespace

TextStats Portable::stats(const char* p, std::size_t n) noexcept {
  TextStats t{0, 0, 0};
  for (std::size_t i = 0; i < n; ++i) {
    t.max = std::max(t.max, static_cast<unsigned>(byte_at(p, i)));
    t.high += byte_at(p, i) >= 0x80;
    t.continuation += (byte_at(p, i) & 0xC0) == 0x80;
  }
  return t;
}

std::size_t Portable::high_runs(const char* p, std::size_t n) noexcept {
  std::size_t runs = 0;
  unsigned before = 0;  // whether the previous byte is 0x80 or more
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned high = byte_at(p, i) >> 7;
    runs += high & ~before;
    before = high;
  }
  return runs;
}

std::size_t Portable::to_latin1(const char* p, std::size_t n, char* out) noexcept {
  std::size_t r = 0, w = 0;
  while (r < n) {
    std::size_t length = 1;
    const std::uint32_t cp = byte_at(p, r) < 0x80 ? byte_at(p, r) : decode(p, r, length);
    out[w++] = static_cast<char>(cp);
    r += length;
  }
  return w;
}

namespace {

template <class Unit>
std::size_t portable_units(const char* p, std::size_t n, Unit* out) noexcept {
  std::size_t r = 0, w = 0;
  while (r < n) {
    std::size_t length = 1;
    const std::uint32_t cp = byte_at(p, r) < 0x80 ? byte_at(p, r) : decode(p, r, length);
    w += put_unit(out + w, cp);
    r += length;
  }
  return w;
}

}  // namespace

std::size_t Portable::to_utf16(const char* p, std::size_t n, std::uint16_t* out, std::size_t) noexcept {
  return portable_units(p, n, out);
}
std::size_t Portable::to_ucs4(const char* p, std::size_t n, std::uint32_t* out, std::size_t) noexcept {
  return portable_units(p, n, out);
}

#if defined(SORBEK_X86_64)

namespace {

struct Sse2Ops {
  static __m128i load(const char* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  static bool all_ascii(const char* p) noexcept { return _mm_movemask_epi8(load(p)) == 0; }
  static bool all_ascii64(const char* p) noexcept {
    const __m128i any = _mm_or_si128(_mm_or_si128(load(p), load(p + 16)), _mm_or_si128(load(p + 32), load(p + 48)));
    return _mm_movemask_epi8(any) == 0;
  }
  static unsigned ascii_prefix(const char* p) noexcept {
    const auto high = static_cast<unsigned>(_mm_movemask_epi8(load(p)));
    return static_cast<unsigned>(__builtin_ctz(high | 0x10000));
  }
  static void move16(char* to, const char* from) noexcept {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), load(from));
  }
  // 16 bytes as 16 units.
  static void widen(std::uint16_t* to, const char* from) noexcept {
    const __m128i v = load(from), zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_unpacklo_epi8(v, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 8), _mm_unpackhi_epi8(v, zero));
  }
  static void widen(std::uint32_t* to, const char* from) noexcept {
    const __m128i v = load(from), zero = _mm_setzero_si128();
    const __m128i low = _mm_unpacklo_epi8(v, zero), high = _mm_unpackhi_epi8(v, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_unpacklo_epi16(low, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 4), _mm_unpackhi_epi16(low, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 8), _mm_unpacklo_epi16(high, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 12), _mm_unpackhi_epi16(high, zero));
  }
};

}  // namespace

// The stats in two passes: the largest byte alone, at about twice the speed
// of counting the high bytes beside it, and the count only where the text
// has any (ASCII text, most outputs, is done after the first).

namespace {

struct HighCounts {
  std::size_t high, continuation;
};

template <unsigned (*MaxByte)(const char*, std::size_t), HighCounts (*HighCount)(const char*, std::size_t)>
[[gnu::always_inline]] inline TextStats two_pass_stats(const char* p, std::size_t n) noexcept {
  if (n < 16) return Portable::stats(p, n);
  const unsigned max = MaxByte(p, n);
  if (max < 0x80) return {max, 0, 0};
  const HighCounts counts = HighCount(p, n);
  return {max, counts.high, counts.continuation};
}

// These two are inlined into the AVX2 kernel too, so that they are encoded
// as its own instructions there: legacy SSE code run while the upper halves
// of the vector registers are in use costs a state transition (the tiny
// payload took twice the time).

// The largest byte of n >= 16 bytes; the last block overlaps the one before.
[[gnu::always_inline]] inline unsigned max_byte_sse2(const char* p, std::size_t n) noexcept {
  __m128i a = _mm_setzero_si128(), b = _mm_setzero_si128();
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    a = _mm_max_epu8(a, Sse2Ops::load(p + i));
    b = _mm_max_epu8(b, Sse2Ops::load(p + i + 16));
  }
  if (i + 16 <= n) a = _mm_max_epu8(a, Sse2Ops::load(p + i));
  if (n % 16 != 0) b = _mm_max_epu8(b, Sse2Ops::load(p + n - 16));
  return horizontal_max(_mm_max_epu8(a, b));
}

// The bytes of a block that are 0x80 or more, 0xFF each, summed into the
// two 64-bit halves of `sum` (so 255 for each). Counting them from a bit mask
// needs a population count, which x86-64's baseline lacks: GCC calls a
// library routine for each block.
[[gnu::always_inline]] inline __m128i add_high_sse2(__m128i sum, __m128i high) noexcept {
  return _mm_add_epi64(sum, _mm_sad_epu8(high, _mm_setzero_si128()));
}
[[gnu::always_inline]] inline std::size_t sum_of_sse2(__m128i sum) noexcept {
  return static_cast<std::size_t>(_mm_cvtsi128_si64(sum) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(sum, sum))) / 255;
}
[[gnu::always_inline]] inline __m128i high_bytes_sse2(const char* p) noexcept {
  return _mm_cmplt_epi8(Sse2Ops::load(p), _mm_setzero_si128());
}

// How many of n bytes are 0x80 or more, and how many of them 0xBF or less
// (below 0xC0 as signed bytes).
[[gnu::always_inline]] inline HighCounts high_count_sse2(const char* p, std::size_t n) noexcept {
  const __m128i zero = _mm_setzero_si128(), lead = _mm_set1_epi8(static_cast<char>(0xC0));
  __m128i high = zero, continuation = zero;
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i v = Sse2Ops::load(p + i);
    high = add_high_sse2(high, _mm_cmplt_epi8(v, zero));
    continuation = add_high_sse2(continuation, _mm_cmplt_epi8(v, lead));
  }
  const TextStats rest = Portable::stats(p + i, n - i);
  return {sum_of_sse2(high) + rest.high, sum_of_sse2(continuation) + rest.continuation};
}

}  // namespace

TextStats Sse2::stats(const char* p, std::size_t n) noexcept {
  return two_pass_stats<max_byte_sse2, high_count_sse2>(p, n);
}

// A run starts at each high byte whose predecessor is not high: each block's
// high bytes, less those that follow one (the block shifted by a byte, with
// the previous block's last byte in front).
std::size_t Sse2::high_runs(const char* p, std::size_t n) noexcept {
  __m128i sum = _mm_setzero_si128(), before = _mm_setzero_si128();
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i high = high_bytes_sse2(p + i);
    const __m128i follows = _mm_or_si128(_mm_slli_si128(high, 1), _mm_srli_si128(before, 15));
    sum = add_high_sse2(sum, _mm_andnot_si128(follows, high));
    before = high;
  }
  const std::size_t runs = sum_of_sse2(sum);
  if (i == n) return runs;
  const bool joined = i > 0 && byte_at(p, i - 1) >= 0x80 && byte_at(p, i) >= 0x80;
  return runs + Portable::high_runs(p + i, n - i) - joined;
}

namespace {

// Four accumulators, so that the loop is not bound by one chain of maxima.
SORBEK_TARGET_AVX2 unsigned max_byte_avx2(const char* p, std::size_t n) noexcept {
  const auto* v = reinterpret_cast<const __m256i*>(p);
  __m256i a = _mm256_setzero_si256(), b = a, c = a, d = a;
  std::size_t i = 0;
  for (; i + 128 <= n; i += 128, v += 4) {
    a = _mm256_max_epu8(a, _mm256_loadu_si256(v));
    b = _mm256_max_epu8(b, _mm256_loadu_si256(v + 1));
    c = _mm256_max_epu8(c, _mm256_loadu_si256(v + 2));
    d = _mm256_max_epu8(d, _mm256_loadu_si256(v + 3));
  }
  const __m256i m = _mm256_max_epu8(_mm256_max_epu8(a, b), _mm256_max_epu8(c, d));
  const unsigned max = horizontal_max(_mm_max_epu8(_mm256_castsi256_si128(m), _mm256_extracti128_si256(m, 1)));
  return i == n ? max : std::max(max, i + 16 <= n ? max_byte_sse2(p + i, n - i) : max_byte_sse2(p + n - 16, 16));
}

SORBEK_TARGET_AVX2 inline std::size_t sum_of_avx2(__m256i sum) noexcept {
  return sum_of_sse2(_mm_add_epi64(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1)));
}

SORBEK_TARGET_AVX2 HighCounts high_count_avx2(const char* p, std::size_t n) noexcept {
  const auto* v = reinterpret_cast<const __m256i*>(p);
  const __m256i zero = _mm256_setzero_si256(), lead = _mm256_set1_epi8(static_cast<char>(0xC0));
  __m256i high = zero, continuation = zero;
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32, ++v) {
    const __m256i bytes = _mm256_loadu_si256(v);
    high = _mm256_add_epi64(high, _mm256_sad_epu8(_mm256_cmpgt_epi8(zero, bytes), zero));
    continuation = _mm256_add_epi64(continuation, _mm256_sad_epu8(_mm256_cmpgt_epi8(lead, bytes), zero));
  }
  const HighCounts rest = high_count_sse2(p + i, n - i);
  return {sum_of_avx2(high) + rest.high, sum_of_avx2(continuation) + rest.continuation};
}

// For packing the kept lanes of eight 16-bit ones to the front: for each
// mask of lanes, the byte shuffle that does it (0x80: a zero byte) and how
// many lanes it keeps.
struct PackTable {
  alignas(16) std::uint8_t shuffle[256][16];
  std::uint8_t count[256];
};

constexpr PackTable make_pack_table() {
  PackTable t{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned kept = 0;
    for (unsigned lane = 0; lane < 8; ++lane) {
      if ((mask >> lane) & 1) {
        t.shuffle[mask][2 * kept] = static_cast<std::uint8_t>(2 * lane);
        t.shuffle[mask][2 * kept + 1] = static_cast<std::uint8_t>(2 * lane + 1);
        ++kept;
      }
    }
    for (unsigned j = 2 * kept; j < 16; ++j) t.shuffle[mask][j] = 0x80;
    t.count[mask] = static_cast<std::uint8_t>(kept);
  }
  return t;
}

constexpr PackTable pack_table = make_pack_table();

// Eight characters' units from the bytes at each position (b0) and the one
// and two after it (b1, b2), as 16-bit lanes: a lane whose byte is ASCII
// gives it, a lead byte the character it starts (of two or three bytes); a
// continuation byte's lane is garbage, dropped by the pack.
SORBEK_TARGET_AVX2 inline __m128i units_of(__m128i b0, __m128i b1, __m128i b2) noexcept {
  const __m128i low6 = _mm_set1_epi16(0x3F);
  const __m128i two = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(b0, _mm_set1_epi16(0x1F)), 6), _mm_and_si128(b1, low6));
  const __m128i three = _mm_or_si128(
      _mm_or_si128(_mm_slli_epi16(b0, 12), _mm_slli_epi16(_mm_and_si128(b1, low6), 6)), _mm_and_si128(b2, low6));
  const __m128i unit = _mm_blendv_epi8(b0, two, _mm_cmpgt_epi16(b0, _mm_set1_epi16(0xBF)));
  return _mm_blendv_epi8(unit, three, _mm_cmpgt_epi16(b0, _mm_set1_epi16(0xDF)));
}

// Stores eight characters below U+10000, given as 16-bit lanes, at out
// (writing eight units whatever their size); the same for 16 bytes of ASCII.
SORBEK_TARGET_AVX2 inline void put8(std::uint16_t* out, __m128i lanes) noexcept {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), lanes);
}
SORBEK_TARGET_AVX2 inline void put8(std::uint32_t* out, __m128i lanes) noexcept {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_cvtepu16_epi32(lanes));
}
template <class Unit>
SORBEK_TARGET_AVX2 inline void put_ascii16(Unit* out, __m128i v) noexcept {
  const __m128i zero = _mm_setzero_si128();
  put8(out, _mm_unpacklo_epi8(v, zero));
  put8(out + 8, _mm_unpackhi_epi8(v, zero));
}

// Stores the lanes of `units` that `keep` marks at out, packed; how many.
template <class Unit>
SORBEK_TARGET_AVX2 inline unsigned put_kept(Unit* out, __m128i units, unsigned keep) noexcept {
  const __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i*>(pack_table.shuffle[keep]));
  put8(out, _mm_shuffle_epi8(units, shuffle));
  return pack_table.count[keep];
}

}  // namespace

// Sixteen bytes at a time, whatever mix of characters of up to three bytes
// they hold (text in most scripts, words and the ASCII between them alike):
// each position's unit is computed from its byte and the two after it, and
// the units of the positions that start a character are packed together.
// A character cut by the block's end is left to the next block; in a block
// with a 4-byte character, the ASCII before the first wider character is
// moved and the run of wider ones decoded a character at a time. UTF-16 or
// UCS-4, by the unit.
template <class Unit>
SORBEK_TARGET_AVX2 std::size_t units_avx2(const char* p, std::size_t n, Unit* out, std::size_t room) noexcept {
  std::size_t r = 0, w = 0;
  const __m128i zero = _mm_setzero_si128();
  while (r + 18 <= n && w + 16 <= room) {
    const __m128i v = Sse2Ops::load(p + r);
    const auto high_bits = static_cast<unsigned>(_mm_movemask_epi8(v));
    if (high_bits == 0) {
      put_ascii16(out + w, v);
      r += 16;
      w += 16;
      continue;
    }
    const __m128i four = _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(static_cast<char>(0xF0))), v);
    if (_mm_movemask_epi8(four) != 0) {
      // The ASCII before the first character beyond it, then the run of
      // such characters, as the baseline kernel does.
      const auto ascii = static_cast<unsigned>(__builtin_ctz(high_bits));
      put_ascii16(out + w, v);
      r += ascii;
      w += ascii;
      while (r < n && byte_at(p, r) >= 0x80) {
        std::size_t length;
        w += put_unit(out + w, decode(p, r, length));
        r += length;
      }
      continue;
    }
    const __m128i v1 = Sse2Ops::load(p + r + 1), v2 = Sse2Ops::load(p + r + 2);
    const __m128i top_two = _mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xC0)));
    const auto continuation =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(top_two, _mm_set1_epi8(static_cast<char>(0x80)))));
    // Five 3-byte characters (most of CJK text: two continuation bytes after
    // each of the first five places of three) need no table: their bytes are
    // gathered by fixed shuffles (simple_object_zh.json: 0.60 of the time).
    if (high_bits == 0xFFFF && (continuation & 0x7FFF) == 0x6DB6) {
      const __m128i first = _mm_shuffle_epi8(v, _mm_setr_epi8(0, -1, 3, -1, 6, -1, 9, -1, 12, -1, -1, -1, -1, -1, -1, -1));
      const __m128i second = _mm_shuffle_epi8(v, _mm_setr_epi8(1, -1, 4, -1, 7, -1, 10, -1, 13, -1, -1, -1, -1, -1, -1, -1));
      const __m128i third = _mm_shuffle_epi8(v, _mm_setr_epi8(2, -1, 5, -1, 8, -1, 11, -1, 14, -1, -1, -1, -1, -1, -1, -1));
      const __m128i low6 = _mm_set1_epi16(0x3F);
      const __m128i units = _mm_or_si128(
          _mm_or_si128(_mm_slli_epi16(first, 12), _mm_slli_epi16(_mm_and_si128(second, low6), 6)),
          _mm_and_si128(third, low6));
      put8(out + w, units);
      r += 15;
      w += 5;
      continue;
    }
    // A lead byte in the last place, or a 3-byte one in the one before,
    // starts a character that the next block has whole. (Computed without a
    // branch, the next block's address waits for these two loads: CJK text
    // took 7% to 17% longer.)
    const unsigned taken = byte_at(p, r + 15) >= 0xC0 ? 15 : byte_at(p, r + 14) >= 0xE0 ? 14 : 16;
    const unsigned keep = ~continuation & ((1u << taken) - 1);
    const __m128i low = units_of(_mm_unpacklo_epi8(v, zero), _mm_unpacklo_epi8(v1, zero), _mm_unpacklo_epi8(v2, zero));
    const __m128i high = units_of(_mm_unpackhi_epi8(v, zero), _mm_unpackhi_epi8(v1, zero), _mm_unpackhi_epi8(v2, zero));
    w += put_kept(out + w, low, keep & 0xFF);
    w += put_kept(out + w, high, keep >> 8);
    r += taken;
  }
  return w + unit_blocks<Sse2Ops>(p + r, n - r, out + w, room - w);
}

SORBEK_TARGET_AVX2 std::size_t to_utf16_avx2(const char* p, std::size_t n, std::uint16_t* out,
                                             std::size_t room) noexcept {
  return units_avx2(p, n, out, room);
}
SORBEK_TARGET_AVX2 std::size_t to_ucs4_avx2(const char* p, std::size_t n, std::uint32_t* out,
                                            std::size_t room) noexcept {
  return units_avx2(p, n, out, room);
}

SORBEK_TARGET_AVX2 TextStats stats_avx2(const char* p, std::size_t n) noexcept {
  return two_pass_stats<max_byte_avx2, high_count_avx2>(p, n);
}

std::size_t Sse2::to_latin1(const char* p, std::size_t n, char* out) noexcept {
  return latin1_blocks<Sse2Ops>(p, n, out);
}

std::size_t Sse2::to_utf16(const char* p, std::size_t n, std::uint16_t* out, std::size_t room) noexcept {
  return unit_blocks<Sse2Ops>(p, n, out, room);
}
std::size_t Sse2::to_ucs4(const char* p, std::size_t n, std::uint32_t* out, std::size_t room) noexcept {
  return unit_blocks<Sse2Ops>(p, n, out, room);
}

#elif defined(SORBEK_AARCH64)

namespace {

struct NeonOps {
  static uint8x16_t load(const char* p) noexcept { return vld1q_u8(reinterpret_cast<const std::uint8_t*>(p)); }
  static bool all_ascii(const char* p) noexcept { return vmaxvq_u8(load(p)) < 0x80; }
  static bool all_ascii64(const char* p) noexcept {
    return vmaxvq_u8(vorrq_u8(vorrq_u8(load(p), load(p + 16)), vorrq_u8(load(p + 32), load(p + 48)))) < 0x80;
  }
  static unsigned ascii_prefix(const char* p) noexcept {
    // Four bits per byte, set for a byte of 0x80 or more; the lowest marks the first.
    const uint8x16_t high = vcgeq_u8(load(p), vdupq_n_u8(0x80));
    const std::uint64_t mask = vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(high), 4)), 0);
    return mask == 0 ? 16 : static_cast<unsigned>(__builtin_ctzll(mask)) / 4;
  }
  static void move16(char* to, const char* from) noexcept {
    vst1q_u8(reinterpret_cast<std::uint8_t*>(to), load(from));
  }
  // 16 bytes as 16 units.
  static void widen(std::uint16_t* to, const char* from) noexcept {
    const uint8x16_t v = load(from);
    vst1q_u16(to, vmovl_u8(vget_low_u8(v)));
    vst1q_u16(to + 8, vmovl_u8(vget_high_u8(v)));
  }
  static void widen(std::uint32_t* to, const char* from) noexcept {
    const uint8x16_t v = load(from);
    const uint16x8_t low = vmovl_u8(vget_low_u8(v)), high = vmovl_u8(vget_high_u8(v));
    vst1q_u32(to, vmovl_u16(vget_low_u16(low)));
    vst1q_u32(to + 4, vmovl_u16(vget_high_u16(low)));
    vst1q_u32(to + 8, vmovl_u16(vget_low_u16(high)));
    vst1q_u32(to + 12, vmovl_u16(vget_high_u16(high)));
  }
};

}  // namespace

TextStats Neon::stats(const char* p, std::size_t n) noexcept {
  uint8x16_t m = vdupq_n_u8(0);
  std::size_t high = 0, continuation = 0, i = 0;
  for (; i + 16 <= n; i += 16) {
    const uint8x16_t v = NeonOps::load(p + i);
    m = vmaxq_u8(m, v);
    high += vaddvq_u8(vshrq_n_u8(v, 7));
    // 0x80 to 0xBF: the top two bits 10.
    continuation += vaddvq_u8(vandq_u8(vceqq_u8(vshrq_n_u8(v, 6), vdupq_n_u8(2)), vdupq_n_u8(1)));
  }
  TextStats t = Portable::stats(p + i, n - i);
  t.max = std::max(t.max, static_cast<unsigned>(vmaxvq_u8(m)));
  t.high += high;
  t.continuation += continuation;
  return t;
}

// As Sse2::high_runs, on a mask of four bits a byte.
std::size_t Neon::high_runs(const char* p, std::size_t n) noexcept {
  std::size_t runs = 0, i = 0;
  std::uint64_t before = 0;  // 0xF when the previous block's last byte is high
  for (; i + 16 <= n; i += 16) {
    const uint8x16_t high = vcgeq_u8(NeonOps::load(p + i), vdupq_n_u8(0x80));
    const std::uint64_t mask = vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(high), 4)), 0);
    runs += static_cast<std::size_t>(__builtin_popcountll(mask & ~((mask << 4) | before))) / 4;
    before = mask >> 60;
  }
  if (i == n) return runs;
  return runs + Portable::high_runs(p + i, n - i) - ((before != 0 && byte_at(p, i) >= 0x80) ? 1 : 0);
}

std::size_t Neon::to_latin1(const char* p, std::size_t n, char* out) noexcept {
  return latin1_blocks<NeonOps>(p, n, out);
}

std::size_t Neon::to_utf16(const char* p, std::size_t n, std::uint16_t* out, std::size_t room) noexcept {
  return unit_blocks<NeonOps>(p, n, out, room);
}
std::size_t Neon::to_ucs4(const char* p, std::size_t n, std::uint32_t* out, std::size_t room) noexcept {
  return unit_blocks<NeonOps>(p, n, out, room);
}

#endif

Kernels kernels_for(simd::Isa isa) noexcept {
  switch (isa) {
#if defined(SORBEK_X86_64)
    case simd::Isa::avx512:
      if (simd::isa_available(simd::Isa::avx512)) {
        return {&stats_avx512, &to_latin1_avx512, &to_utf16_avx512, &to_ucs4_avx512};
      }
      [[fallthrough]];
    case simd::Isa::avx2:
      if (simd::isa_available(simd::Isa::avx2)) return {&stats_avx2, &Sse2::to_latin1, &to_utf16_avx2, &to_ucs4_avx2};
      [[fallthrough]];
    case simd::Isa::sse2:
      return {&Sse2::stats, &Sse2::to_latin1, &Sse2::to_utf16, &Sse2::to_ucs4};
#elif defined(SORBEK_AARCH64)
    case simd::Isa::neon:
      return {&Neon::stats, &Neon::to_latin1, &Neon::to_utf16, &Neon::to_ucs4};
#endif
    default:
      return {&Portable::stats, &Portable::to_latin1, &Portable::to_utf16, &Portable::to_ucs4};
  }
}

namespace {
const Kernels best = kernels_for(simd::best_isa());
}  // namespace

TextStats stats(const char* p, std::size_t n) noexcept { return best.stats(p, n); }
std::size_t to_latin1(const char* p, std::size_t n, char* out) noexcept { return best.to_latin1(p, n, out); }
std::size_t to_utf16(const char* p, std::size_t n, std::uint16_t* out, std::size_t room) noexcept {
  return best.to_utf16(p, n, out, room);
}
std::size_t to_ucs4(const char* p, std::size_t n, std::uint32_t* out, std::size_t room) noexcept {
  return best.to_ucs4(p, n, out, room);
}

}  // namespace sorbek::json::transcode
