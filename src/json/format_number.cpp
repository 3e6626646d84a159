#include "json/format_number.hpp"

#include <bit>
#include <cstring>

#include "json/decimal_digits.hpp"
#include "json/integer_text.hpp"

namespace sorbek::json {

namespace {

using namespace integer_text;


// floor(log10(2^q)) and floor(log10(3/4 * 2^q)), exact for |q| < 2^10.
constexpr int floor_log10_pow2(int q) noexcept { return (q * 315653) >> 20; }
constexpr int floor_log10_three_quarters_pow2(int q) noexcept { return (q * 631305 - 261663) >> 21; }

// Biased exponents of the non-integral doubles that float_in_range accepts:
// from that of the smallest accepted magnitude to the last below 2^52, from
// which on every double is integral (written as an integer, without the
// table). Widening the accepted range resizes the table with it.
constexpr int biased_exponent(double x) { return static_cast<int>(std::bit_cast<std::uint64_t>(x) >> 52); }
constexpr int lowest_biased = biased_exponent(float_min_magnitude);
constexpr int highest_biased = biased_exponent(4503599627370496.0) - 1;  // 2^52
constexpr int exponents = highest_biased - lowest_biased + 1;
// Integral doubles are written through int64.
static_assert(float_magnitude_limit <= 9223372036854775808.0);

// Per binary exponent q, and per kind of gap below (a power of two has a
// lower gap half the upper one): k, where 10^k is the candidates' spacing,
// and 5^-k * 2^(53 - h) with h = k - q in [0, 46], so that
// (c << 11) * scale = c * 5^-k * 2^(64 - h): its upper word is x in units of
// 10^k, cut down to an integer, and its lower word what was cut off. The
// same for the spacing 10^(k+1), 5^-(k+1) * 2^(52 - h) (k < 0 throughout),
// so that the next shorter candidates come from a multiply of their own
// beside the first rather than from dividing its result by ten after it.
// 32 bytes an entry, so that an entry's offset is the exponent's bits.
struct alignas(32) Scale {
  std::uint64_t scale;
  std::uint64_t tens_scale;
  int k;
};
// The candidates' spacing 10^k in the selection's fixed point: distances are
// measured in units of 2^-60 of it.
constexpr std::uint64_t unit = std::uint64_t{1} << 60;
constexpr auto scales = [] {
  struct Table {
    Scale entries[2 * exponents];  // regular gaps, then powers of two
  } t{};
  for (int lower_closer = 0; lower_closer < 2; ++lower_closer) {
    for (int i = 0; i < exponents; ++i) {
      const int q = lowest_biased + i - 1075;
      const int k = lower_closer ? floor_log10_three_quarters_pow2(q) : floor_log10_pow2(q);
      const int h = k - q;
      std::uint64_t scale = 1;
      for (int j = 0; j < -k; ++j) scale *= 5;
      // 2^h <= 5^-k < 16 * 2^h (10 * 2^h at a regular gap), so the scale
      // stays below 2^57 and the half-gap below 2^63.
      if (h < 0 || h > 46 || (scale >> h) == 0 || (scale >> h) >= 16) throw "scale out of range";
      if (k >= 0) throw "no fraction digits";
      t.entries[lower_closer * exponents + i] = {scale << (53 - h), (scale / 5) << (52 - h), k};
      // The regular selection relies on a half-gap above half a spacing and
      // an interval narrower than ten spacings (see shortest()).
      const std::uint64_t half_gap = (scale << (53 - h)) << 6;
      if (!lower_closer && (half_gap <= unit / 2 || 2 * (half_gap + 1) > 10 * unit)) throw "gap out of range";
      // The same half-gap in units of 2^-64 of 10^(k+1), with room for the
      // tie's unit.
      if (!lower_closer && ((scale / 5) << (62 - h)) >= (std::uint64_t{1} << 63) - 1) throw "gap out of range";
    }
  }
  return t;
}();

// The 128-bit product as two words. On x86-64 spelled as the instruction:
// GCC otherwise keeps a register pair for each 128-bit value and saves
// callee-saved registers on every call of the float writer that it then
// never uses.
struct Words {
  std::uint64_t high, low;
};
[[gnu::always_inline]] inline Words multiply(std::uint64_t a, std::uint64_t b) noexcept {
#if defined(SORBEK_X86_64)
  std::uint64_t high, low;
  __asm__("mulq %3" : "=a"(low), "=d"(high) : "a"(a), "rm"(b) : "cc");
  return {high, low};
#else
  __extension__ typedef unsigned __int128 u128;
  const u128 product = static_cast<u128>(a) * b;
  return {static_cast<std::uint64_t>(product >> 64), static_cast<std::uint64_t>(product)};
#endif
}


}  // namespace

namespace {

// Schubfach (Giulietti), computed exactly: in the accepted range a
// non-integral double is c * 2^q with q in [-66, -1], and one 64 x 64-bit
// multiply by a table entry gives x in units of the candidates' spacing 10^k
// exactly (see the scales), so no rounded power of ten is needed and every
// tie and bound is decided exactly.
//
// The digits come back at the spacing 10^k even when they are one digit
// shorter (then with a zero appended), so that the caller knows where the
// point falls without counting them: below 10^17, and at least 10^15.
struct Position {
  std::uint64_t s;         // the candidate at or below x
  std::uint64_t f;         // from s up to x, in units of 2^-60 of the spacing
  std::uint64_t half_gap;  // half the gap to the next double above, likewise
  int k;
};
// The significand c of a double of the accepted range, implicit bit included.
constexpr std::uint64_t significand(std::uint64_t bits) noexcept {
  return (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
}

[[gnu::always_inline]] inline Position position(std::uint64_t bits, bool lower_closer) noexcept {
  const std::uint64_t c = significand(bits);
  const Scale& e = scales.entries[static_cast<int>(bits >> 52) - lowest_biased + (lower_closer ? exponents : 0)];
  const Words product = multiply(c << 11, e.scale);
  // The rest is exact: the lower word's last 18 bits are zero.
  return {product.high, product.low >> 4,
          e.scale << 6,  // 5^-k * 2^(59 - h): 2^(q-1) in these units
          e.k};
}

// Every power of two (its gap below is half the one above), where the
// interval about x is lopsided: each candidate is tested against its side.
[[gnu::noinline]] Decimal shortest_at_power_of_two(std::uint64_t bits) noexcept {
  const Position p = position(bits, true);
  // c = 2^52 is even: the interval's ends read back as x and are in it.
  const std::uint64_t up_limit = p.half_gap + 1;
  const std::uint64_t down_limit = (p.half_gap >> 1) + 1;
  const std::uint64_t tens = p.s / 10;
  const std::uint64_t r = p.s - tens * 10;
  // One digit fewer: at most one multiple of 10^(k+1) lies in the interval.
  if (r * unit + p.f < down_limit) return {tens * 10, p.k};
  if ((10 - r) * unit - p.f < up_limit) return {(tens + 1) * 10, p.k};
  // Same length: the one in the interval; if both are, the nearer one, and
  // the upper one at an exact tie.
  const bool s_in = p.f < down_limit;
  const bool t_in = unit - p.f < up_limit;
  return {p.s + (t_in & (!s_in | (p.f >= unit / 2))), p.k};
}

[[gnu::always_inline]] inline Decimal shortest(double x) noexcept {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  if ((bits & ((std::uint64_t{1} << 52) - 1)) == 0) [[unlikely]] return shortest_at_power_of_two(bits);
  const std::uint64_t c = significand(bits);
  // The entry's address from the exponent's bits as they stand (x > 0):
  // no subtraction and scaling of an index on the way to the load.
  static_assert(sizeof(Scale) == 32);
  const auto& e = *reinterpret_cast<const Scale*>(reinterpret_cast<std::uintptr_t>(scales.entries) -
                                                  lowest_biased * sizeof(Scale) + ((bits >> 47) & ~std::uint64_t{31}));
  const Words product = multiply(c << 11, e.scale);
  const Words tens_product = multiply(c << 11, e.tens_scale);
  const std::uint64_t s = product.high;
  const std::uint64_t f = product.low >> 4;
  // A candidate is in the interval when its distance from x is below the
  // half-gap, or equal to it when c is even (round-to-nearest-even then
  // reads the interval's end back as x). The interval is symmetric and
  // wider than the spacing (2^q >= 10^k, and 2^q = 10^k only at q = 0), but
  // narrower than ten spacings (2^q < 10^(k+1)).
  //
  // One digit fewer: at most one multiple of 10^(k+1) lies in the interval,
  // and if one does, it is the one nearer to x. The second product's lower
  // word y is the distance of x above the multiple at or below it, exactly,
  // in units of 2^-64 of 10^(k+1) (its last 17 bits are zero, h <= 46), and
  // in those units the half-gap 2^(q-1) is tens_scale * 2^10, below 2^63.
  // The lower multiple lies in the interval when y < limit, the upper one
  // when 2^64 - y < limit; both at once as one unsigned comparison. Its top
  // bit is set from half of 10^(k+1) up, where the shorter one rounds up.
  const std::uint64_t limit = (e.tens_scale << 10) + ((bits & 1) ^ 1);
  const std::uint64_t tens = tens_product.high;
  const std::uint64_t y = tens_product.low;
  const bool fewer = y - limit > 0 - 2 * limit;
  // Same length: s and s + 1 are a spacing apart, so the nearer one (the
  // upper one at a tie) is always within the half-gap.
  // Real and random doubles alike switch between the two forms from one
  // value to the next: a select, not a branch. The opaque copy keeps the
  // compiler from turning the select back into one.
  const std::uint64_t shorter = (tens + (y >> 63)) * 10, same = s + (f >> 59);
  auto pick = static_cast<std::uint64_t>(fewer);
  __asm__("" : "+r"(pick));
  const std::uint64_t mask = 0 - pick;
  return {(shorter & mask) | (same & ~mask), e.k};
}

template <class Digits>
SORBEK_WRITER_INLINE char* write_float_with(double x, char* out) noexcept {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  *out = '-';
  out += bits >> 63;
  const double magnitude = std::bit_cast<double>(bits & 0x7FFFFFFFFFFFFFFFull);
  // Below 1e16 the conversion to an integer is exact for integral values.
  const auto whole = static_cast<std::int64_t>(magnitude);
  if (static_cast<double>(whole) == magnitude) {
    out = write_uint64_with<Digits>(static_cast<std::uint64_t>(whole), out);
    std::memcpy(out, ".0", 2);
    return out + 2;
  }
  const Decimal d = shortest(magnitude);
  const auto fraction_digits = static_cast<unsigned>(-d.exponent);
  if (whole < 1000 && fraction_digits <= 16) [[likely]] {
    // The common magnitudes (coordinates, prices, ratios): the integer part,
    // which is that of x since no integer lies within a non-integral
    // double's rounding interval, from the table; then the fraction scaled
    // to a block of 16 digits, its leading zeros included. Below 10^19, as
    // the value is below 1000.
    std::memcpy(out, small_numbers.entries[whole], 4);
    out += small_numbers.entries[whole][3];
    *out++ = '.';
    const auto w = static_cast<std::uint64_t>(whole);
    const auto block = digits16<Digits>(d.digits * pow10[16 - fraction_digits] - w * pow10[16]);
    Digits::store(out, block);
    return out + 16 - Digits::trailing_zeros(block);
  }
  // 16 or 17 digits: a first one, which may be 0 and is then not written,
  // and a block of 16, whose trailing zeros are not written either.
  // Both splits straight from the digits, so that neither waits for the other.
  const std::uint64_t first = d.digits / pow10[16];
  const std::uint64_t upper = d.digits / 100000000;
  const bool has_first = first != 0;
  const auto block = Digits::convert(static_cast<std::uint32_t>(upper - first * 100000000),
                                     static_cast<std::uint32_t>(d.digits - upper * 100000000));
  const unsigned zeros = Digits::trailing_zeros(block);
  if (magnitude >= 1.0) {
    // |x| >= 1: the last fraction_digits (at most 16) follow the point, and
    // the last non-zero digit is among them.
    out[0] = static_cast<char>('0' + first);
    out += has_first;
    Digits::store_with_point(out, block, 16 - fraction_digits);
    return out + 17 - zeros;
  }
  // 0.0001 <= |x| < 1: "0.", up to three zeros, then the digits.
  std::memcpy(out, "0.000000", 8);
  out += 2 + fraction_digits - 16 - has_first;
  out[0] = static_cast<char>('0' + first);
  out += has_first;
  Digits::store(out, block);
  return out + 16 - zeros;
}

// Each kernel's entry points.
template <class Digits>
char* write_int64_on(std::int64_t v, char* out) noexcept {
  return write_int64_with<Digits>(v, out);
}
template <class Digits>
char* write_float_on(double x, char* out) noexcept {
  return write_float_with<Digits>(x, out);
}
template <class Digits>
constexpr NumberWriters writers_on = {&write_int64_on<Digits>, &write_float_on<Digits>};

#if defined(SORBEK_X86_64)
SORBEK_TARGET_AVX512 char* write_float_avx512(double x, char* out) noexcept {
  return write_float_with<digits::Avx512Ifma>(x, out);
}
#endif

}  // namespace

char* write_uint64(std::uint64_t v, char* out) noexcept { return write_uint64_with<digits::Best>(v, out); }
char* write_int64(std::int64_t v, char* out) noexcept { return write_int64_with<digits::Best>(v, out); }

Decimal shortest_decimal(double x) noexcept { return shortest(x); }

const NumberWriters& number_writers_for(simd::Isa isa) noexcept {
  switch (isa) {
#if defined(SORBEK_X86_64)
    case simd::Isa::avx512:
      if (simd::isa_available(simd::Isa::avx512)) {
        // Integers stay on SSE2, which measured a few percent faster for
        // them than this kernel.
        static constexpr NumberWriters avx512 = {&write_int64, &write_float_avx512};
        return avx512;
      }
      return writers_on<digits::Sse2>;
    case simd::Isa::avx2:  // no variant of its own
    case simd::Isa::sse2:
      return writers_on<digits::Sse2>;
#elif defined(SORBEK_AARCH64)
    case simd::Isa::neon:
      return writers_on<digits::Neon>;
#endif
    default:
      return writers_on<digits::Portable>;
  }
}

const NumberWriters number_writers_best = number_writers_for(simd::best_isa());

}  // namespace sorbek::json
