#include "json/format_number.hpp"

#include <bit>
#include <cstring>

#include "json/decimal_digits.hpp"

namespace sorbek::json {

namespace {

constexpr std::uint64_t pow10[20] = {
    1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull, 100000000ull,
    1000000000ull, 10000000000ull, 100000000000ull, 1000000000000ull, 10000000000000ull,
    100000000000000ull, 1000000000000000ull, 10000000000000000ull, 100000000000000000ull,
    1000000000000000000ull, 10000000000000000000ull};

// Number of decimal digits: log10 estimated from the bit length (1233/4096
// is just above log10(2)), then corrected by one comparison.
inline unsigned digit_count(std::uint64_t v) noexcept {
  const auto bits = static_cast<unsigned>(64 - __builtin_clzll(v | 1));
  const unsigned t = (bits * 1233) >> 12;
  return t + 1 - static_cast<unsigned>((v | 1) < pow10[t]);
}

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
// 10^k, cut down to an integer, and its lower word what was cut off.
struct Scale {
  std::uint64_t scale;
  int k;
};
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
      t.entries[lower_closer * exponents + i] = {scale << (53 - h), k};
    }
  }
  return t;
}();

__extension__ typedef unsigned __int128 u128;

// The 16 digits of v < 10^16.
template <class Digits>
typename Digits::Block digits16(std::uint64_t v) noexcept {
  const std::uint64_t high = v / 100000000;
  return Digits::convert(static_cast<std::uint32_t>(high), static_cast<std::uint32_t>(v - high * 100000000));
}

// The text of every value below 1000 and its length in the fourth byte:
// small numbers (counts, flags, small ids) are the most common, and a load
// and a store write them.
constexpr auto small_numbers = [] {
  struct Table {
    char entries[1000][4];
  } t{};
  for (int v = 0; v < 1000; ++v) {
    const int length = v < 10 ? 1 : v < 100 ? 2 : 3;
    for (int i = length - 1, rest = v; i >= 0; --i, rest /= 10) t.entries[v][i] = static_cast<char>('0' + rest % 10);
    t.entries[v][3] = static_cast<char>(length);
  }
  return t;
}();

template <class Digits>
char* write_uint64_with(std::uint64_t v, char* out) noexcept {
  if (v < 1000) {
    std::memcpy(out, small_numbers.entries[v], 4);
    return out + small_numbers.entries[v][3];
  }
  const unsigned n = digit_count(v);
  if (n <= 16) [[likely]] {
    // Scaled up to 16 digits, so that its own land at the front of the block.
    Digits::store(out, digits16<Digits>(v * pow10[16 - n]));
    return out + n;
  }
  // 17 to 20 digits: the leading 1 to 4, then 16.
  const std::uint64_t high = v / pow10[16];
  const unsigned m = n - 16;
  Digits::store(out, digits16<Digits>(high * pow10[16 - m]));
  Digits::store(out + m, digits16<Digits>(v - high * pow10[16]));
  return out + n;
}

template <class Digits>
char* write_int64_with(std::int64_t v, char* out) noexcept {
  // The magnitude as unsigned, so that INT64_MIN does not overflow.
  std::uint64_t magnitude = static_cast<std::uint64_t>(v);
  if (v < 0) {
    *out++ = '-';
    magnitude = 0 - magnitude;
  }
  return write_uint64_with<Digits>(magnitude, out);
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
[[gnu::always_inline]] inline Decimal shortest(double x) noexcept {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  const std::uint64_t c = fraction | (std::uint64_t{1} << 52);
  // At a power of two the gap to the next lower double is half the upper one.
  const bool lower_closer = fraction == 0;
  const Scale& e = scales.entries[static_cast<int>(bits >> 52) - lowest_biased + (lower_closer ? exponents : 0)];
  const u128 product = static_cast<u128>(c << 11) * e.scale;
  // s: the candidate at or below x. The rest is measured in units of 2^-60
  // of the spacing, which is exact: the lower word's last 18 bits are zero.
  const auto s = static_cast<std::uint64_t>(product >> 64);
  const std::uint64_t f = static_cast<std::uint64_t>(product) >> 4;  // from s up to x
  constexpr std::uint64_t unit = std::uint64_t{1} << 60;             // the spacing 10^k
  // A candidate is in the interval when its distance from x is below the
  // half-gap to the neighbouring double, or equal to it when c is even
  // (round-to-nearest-even then reads the interval's end back as x).
  const std::uint64_t closed = (c & 1) ^ 1;
  const std::uint64_t half_gap = e.scale << 6;  // 5^-k * 2^(59 - h): 2^(q-1) in these units
  const std::uint64_t up_limit = half_gap + closed;
  const std::uint64_t down_limit = (half_gap >> lower_closer) + closed;
  const int k = e.k;

  // Every test is made and combined without branches: which one decides
  // depends on the digits and would mispredict often.
  // One digit fewer: at most one multiple of 10^(k+1) lies in the interval.
  const std::uint64_t tens = s / 10;
  const std::uint64_t r = s - tens * 10;
  const bool s10_in = r * unit + f < down_limit;
  const bool t10_in = (10 - r) * unit - f < up_limit;
  // Same length: the one in the interval; if both are, the nearer one, and
  // the upper one at an exact tie.
  const bool s_in = f < down_limit;
  const bool t_in = unit - f < up_limit;
  const bool take_t = t_in & (!s_in | (f >= unit / 2));
  const bool fewer = s10_in | t10_in;
  // Real and random doubles alike switch between the two forms from one
  // value to the next: a select, not a branch. The opaque copy keeps the
  // compiler from turning the select back into one.
  const std::uint64_t shorter = (tens + !s10_in) * 10, same = s + take_t;
  auto pick = static_cast<std::uint64_t>(fewer);
  __asm__("" : "+r"(pick));
  const std::uint64_t mask = 0 - pick;
  return {(shorter & mask) | (same & ~mask), k};
}

template <class Digits>
char* write_float_with(double x, char* out) noexcept {
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
  // 16 or 17 digits: a first one, which may be 0 and is then not written,
  // and a block of 16, whose trailing zeros are not written either.
  // Both splits straight from the digits, so that neither waits for the other.
  const std::uint64_t first = d.digits / pow10[16];
  const std::uint64_t upper = d.digits / 100000000;
  const bool has_first = first != 0;
  const auto block = Digits::convert(static_cast<std::uint32_t>(upper - first * 100000000),
                                     static_cast<std::uint32_t>(d.digits - upper * 100000000));
  const unsigned zeros = Digits::trailing_zeros(block);
  const auto fraction_digits = static_cast<unsigned>(-d.exponent);
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

}  // namespace

char* write_uint64(std::uint64_t v, char* out) noexcept { return write_uint64_with<digits::Best>(v, out); }
char* write_int64(std::int64_t v, char* out) noexcept { return write_int64_with<digits::Best>(v, out); }
char* write_float(double x, char* out) noexcept { return write_float_with<digits::Best>(x, out); }

Decimal shortest_decimal(double x) noexcept { return shortest(x); }

namespace portable {
char* write_int64(std::int64_t v, char* out) noexcept { return write_int64_with<digits::Portable>(v, out); }
char* write_float(double x, char* out) noexcept { return write_float_with<digits::Portable>(x, out); }
}  // namespace portable

}  // namespace sorbek::json
