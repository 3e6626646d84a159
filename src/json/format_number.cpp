#include "json/format_number.hpp"

#include <bit>
#include <cstring>

namespace sorbek::json {

namespace {

constexpr std::uint64_t powers_of_ten[20] = {
    1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull, 100000000ull,
    1000000000ull, 10000000000ull, 100000000000ull, 1000000000000ull, 10000000000000ull,
    100000000000000ull, 1000000000000000ull, 10000000000000000ull, 100000000000000000ull,
    1000000000000000000ull, 10000000000000000000ull};

// Number of decimal digits: log10 estimated from the bit length (1233/4096
// is just above log10(2)), then corrected by one comparison.
inline unsigned digit_count(std::uint64_t v) noexcept {
  const auto bits = static_cast<unsigned>(64 - __builtin_clzll(v | 1));
  const unsigned t = (bits * 1233) >> 12;
  return t + 1 - static_cast<unsigned>((v | 1) < powers_of_ten[t]);
}

// Exactly 8 digits of v < 10^8, leading zeros included, computed in the
// lanes of one 64-bit word: 4-digit halves in 32-bit lanes, then 2-digit
// quarters in 16-bit lanes, then single digits in bytes. Each step divides
// every lane at once by a multiply and shift that is exact in its range.
inline void put_digits8(std::uint32_t v, char* out) noexcept {
  const std::uint64_t halves = (v / 10000) | (static_cast<std::uint64_t>(v % 10000) << 32);
  const std::uint64_t hundreds = ((halves * 5243) >> 19) & 0x0000007F0000007Full;  // lane / 100, lane < 10^4
  const std::uint64_t quarters = hundreds | ((halves - hundreds * 100) << 16);
  const std::uint64_t tens = ((quarters * 103) >> 10) & 0x000F000F000F000Full;  // lane / 10, lane < 100
  const std::uint64_t digits = tens | ((quarters - tens * 10) << 8);
  const std::uint64_t ascii = digits + 0x3030303030303030ull;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  const std::uint64_t text = __builtin_bswap64(ascii);
#else
  const std::uint64_t text = ascii;
#endif
  std::memcpy(out, &text, 8);
}

// Writes the digits of v so that they end at `end` (8 at a time, so up to 7
// bytes before the first digit may be overwritten); returns the first digit.
inline char* put_digits_backward(std::uint64_t v, char* end) noexcept {
  while (v >= 100000000) {
    const std::uint64_t q = v / 100000000;
    end -= 8;
    put_digits8(static_cast<std::uint32_t>(v - q * 100000000), end);
    v = q;
  }
  if (v < 10) {
    end[-1] = static_cast<char>('0' + v);
    return end - 1;
  }
  put_digits8(static_cast<std::uint32_t>(v), end - 8);
  return end - digit_count(v);
}

// A scratch area for put_digits_backward whose digits end at `end`, with
// room to copy a fixed 24 bytes from any start of up to 20 digits.
struct DigitScratch {
  char bytes[48];
  char* end() noexcept { return bytes + 24; }
};

__extension__ typedef unsigned __int128 u128;

constexpr std::uint64_t pow5(int k) noexcept {
  std::uint64_t v = 1;
  for (int i = 0; i < k; ++i) v *= 5;
  return v;
}

// 5^0 .. 5^27, all exact in 64 bits.
constexpr auto pow5_table = [] {
  struct Table {
    std::uint64_t v[28];
  } t{};
  for (int k = 0; k < 28; ++k) t.v[k] = pow5(k);
  return t;
}();

// floor(log10(2^q)) and floor(log10(3/4 * 2^q)), exact for |q| < 2^10.
constexpr int floor_log10_pow2(int q) noexcept { return (q * 315653) >> 20; }
constexpr int floor_log10_three_quarters_pow2(int q) noexcept { return (q * 631305 - 261663) >> 21; }

}  // namespace

char* write_uint64(std::uint64_t v, char* out) noexcept {
  DigitScratch scratch;
  const char* first = put_digits_backward(v, scratch.end());
  std::memcpy(out, first, 24);  // fixed size: a few moves instead of a call
  return out + (scratch.end() - first);
}

char* write_int64(std::int64_t v, char* out) noexcept {
  // The magnitude as unsigned, so that INT64_MIN does not overflow.
  std::uint64_t magnitude = static_cast<std::uint64_t>(v);
  if (v < 0) {
    *out++ = '-';
    magnitude = 0 - magnitude;
  }
  return write_uint64(magnitude, out);
}

bool float_in_range(double x) noexcept {
  const std::uint64_t magnitude_bits = std::bit_cast<std::uint64_t>(x) & 0x7FFFFFFFFFFFFFFFull;
  if (magnitude_bits > 0x7FEFFFFFFFFFFFFFull) return false;  // NaN or infinite
  const double magnitude = std::bit_cast<double>(magnitude_bits);
  if (magnitude >= 1e16) return false;
  if (magnitude != 0.0 && magnitude < 0.0001) return false;
  return true;
}

// Schubfach (Giulietti), computed exactly: in the accepted range a
// non-integral double is c * 2^q with q in [-66, -1], so every quantity below,
// scaled by 4 * 2^shift, is an exact integer under 2^104 and no rounded power
// of ten is needed.
Decimal shortest_decimal(double x) noexcept {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const auto biased = static_cast<int>(bits >> 52);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  const std::uint64_t c = fraction | (std::uint64_t{1} << 52);
  const int q = biased - 1075;
  // At a power of two the gap to the next lower double is half the upper one.
  const bool lower_closer = fraction == 0 && biased > 1;
  const int k = lower_closer ? floor_log10_three_quarters_pow2(q) : floor_log10_pow2(q);
  // Candidates are multiples of 10^k = 10^-big_k; v * 10^big_k = c * 5^big_k / 2^shift.
  const int big_k = -k;
  const auto shift = static_cast<unsigned>(-(q + big_k)) + 2;
  const u128 p5 = pow5_table.v[big_k];
  const u128 v4 = static_cast<u128>(4 * c) * p5;
  const u128 low4 = static_cast<u128>(4 * c - (lower_closer ? 1 : 2)) * p5;
  const u128 high4 = static_cast<u128>(4 * c + 2) * p5;
  // Round-to-nearest-even reads the interval's ends back as x when c is even.
  const bool closed = (c & 1) == 0;
  // A candidate d stands for d << shift in these units. Its tests against the
  // bounds reduce to 64-bit comparisons with the bounds shifted down, plus
  // whether the shift dropped any bits (only then can d equal a bound's floor
  // without reaching the bound).
  const u128 below = (static_cast<u128>(1) << shift) - 1;
  const auto low_floor = static_cast<std::uint64_t>(low4 >> shift);
  const bool low_exact = (low4 & below) == 0;
  const auto high_floor = static_cast<std::uint64_t>(high4 >> shift);
  const bool high_exact = (high4 & below) == 0;
  auto in_low = [&](std::uint64_t d) { return d > low_floor || (d == low_floor && closed && low_exact); };
  auto in_high = [&](std::uint64_t d) { return d < high_floor || (d == high_floor && (closed || !high_exact)); };

  const auto s = static_cast<std::uint64_t>(v4 >> shift);
  const std::uint64_t t = s + 1;
  // One digit fewer: at most one multiple of 10^(k+1) lies in the interval.
  const std::uint64_t s10 = s / 10 * 10;
  const std::uint64_t t10 = s10 + 10;
  // All tests are made up front and combined without branches: which one
  // decides is data-dependent and would mispredict often.
  const bool s10_in = in_low(s10), t10_in = in_high(t10);
  const bool s_in = in_low(s), t_in = in_high(t);
  // Both s and t in: the nearer one, and the upper one at an exact tie.
  const bool upper_nearer = static_cast<std::uint64_t>(v4 >> (shift - 1)) >= 2 * s + 1;
  const std::uint64_t one_digit_fewer = s10_in ? s10 : t10;
  const std::uint64_t same_length = s_in != t_in ? (s_in ? s : t) : (upper_nearer ? t : s);
  std::uint64_t digits = s10_in != t10_in ? one_digit_fewer : same_length;
  int exponent = k;
  while (digits % 10 == 0) {
    digits /= 10;
    ++exponent;
  }
  return {digits, exponent};
}

char* write_float(double x, char* out) noexcept {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  if (bits >> 63) *out++ = '-';
  const std::uint64_t magnitude_bits = bits & 0x7FFFFFFFFFFFFFFFull;
  const int e = static_cast<int>(magnitude_bits >> 52) - 1075;
  const std::uint64_t mantissa = (magnitude_bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  // Integral: zero, or no bits below the binary point (e <= 0 here since |x| < 2^54).
  const bool integral = magnitude_bits == 0 || (e >= 0) ||
                        (e > -53 && (mantissa & ((std::uint64_t{1} << -e) - 1)) == 0);
  if (integral) {
    const std::uint64_t whole = magnitude_bits == 0 ? 0 : (e >= 0 ? mantissa << e : mantissa >> -e);
    out = write_uint64(whole, out);
    std::memcpy(out, ".0", 2);
    return out + 2;
  }
  const Decimal d = shortest_decimal(std::bit_cast<double>(magnitude_bits));
  DigitScratch scratch;
  const char* first = put_digits_backward(d.digits, scratch.end());
  const auto count = static_cast<int>(scratch.end() - first);  // at most 17
  const int point = count + d.exponent;  // digits before the decimal point
  if (point > 0) {
    // Every digit, then the fractional ones again one place to the right.
    std::memcpy(out, first, 24);
    std::memcpy(out + point + 1, first + point, 16);
    out[point] = '.';
    return out + count + 1;
  }
  // |x| >= 0.0001: at most three zeros between the point and the digits.
  std::memcpy(out, "0.000", 5);
  std::memcpy(out + 2 - point, first, 24);
  return out + 2 - point + count;
}

}  // namespace sorbek::json
