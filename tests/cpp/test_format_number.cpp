#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "float_oracle.hpp"
#include "json/decimal_digits.hpp"
#include "json/format_number.hpp"
#include "kernel_variants.hpp"

namespace {

using namespace sorbek::json;
using sorbek::simd::isa_name;

// The text of the writers the module uses; every other kernel's writers
// must write the same.
std::string int_text(std::int64_t v) {
  char buf[int_chars];
  const std::string text(buf, write_int64(v, buf));
  for (const auto isa : runnable_isas()) {
    char other[int_chars];
    EXPECT_EQ(text, std::string(other, number_writers_for(isa).write_int64(v, other))) << v << ' ' << isa_name(isa);
  }
  return text;
}

std::string float_text(double x) {
  char buf[float_chars];
  const std::string text(buf, write_float(x, buf));
  for (const auto isa : runnable_isas()) {
    char other[float_chars];
    EXPECT_EQ(text, std::string(other, number_writers_for(isa).write_float(x, other))) << x << ' ' << isa_name(isa);
  }
  return text;
}

TEST(WriteInt, MatchesToChars) {
  std::mt19937_64 rng(7);
  std::vector<std::int64_t> values = {0, 1, -1, 9, 10, 99, 100, std::numeric_limits<std::int64_t>::max(),
                                      std::numeric_limits<std::int64_t>::min()};
  for (std::int64_t p = 1; p < 1000000000000000000; p *= 10) {
    for (std::int64_t v : {p - 1, p, p + 1}) {
      values.push_back(v);
      values.push_back(-v);
    }
  }
  for (int i = 0; i < 200000; ++i) values.push_back(static_cast<std::int64_t>(rng() >> (rng() % 64)));
  for (std::int64_t v : values) {
    char buf[32];
    const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    ASSERT_EQ(int_text(v), std::string(buf, end)) << v;
  }
}

TEST(FloatRange, Boundaries) {
  EXPECT_TRUE(float_in_range(0.0));
  EXPECT_TRUE(float_in_range(-0.0));
  EXPECT_TRUE(float_in_range(0.0001));
  EXPECT_TRUE(float_in_range(-0.0001));
  EXPECT_FALSE(float_in_range(std::nextafter(0.0001, 0.0)));
  EXPECT_TRUE(float_in_range(9999999999999998.0));
  EXPECT_FALSE(float_in_range(1e16));
  EXPECT_FALSE(float_in_range(-1e16));
  EXPECT_FALSE(float_in_range(std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(float_in_range(-std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(float_in_range(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_FALSE(float_in_range(1e-300));
  EXPECT_FALSE(float_in_range(std::numeric_limits<double>::denorm_min()));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(1e16), 0x4341C37937E08000ull);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(0.0001), 0x3F1A36E2EB1C432Dull);
}

TEST(WriteFloat, WorkedValues) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"},
      {0.0001, "0.0001"},
      {0.1, "0.1"},
      {-2.5, "-2.5"},
      {123.456, "123.456"},
      {4503599627370495.5, "4503599627370495.5"},
      {0.5 + std::ldexp(1.0, -17), "0.5000076293945313"},
      {std::ldexp(1.0, 50) + 0.25, "1125899906842624.3"},
      {std::ldexp(1.0, 46) + 0.125, "70368744177664.13"},
      {0.3, "0.3"},
      {2.0 / 3.0, "0.6666666666666666"},
      {0.00012, "0.00012"},
      {std::nextafter(1.0, 0.0), "0.9999999999999999"},
      {std::nextafter(1.0, 2.0), "1.0000000000000002"},
  };
  for (const auto& [x, text] : cases) EXPECT_EQ(float_text(x), text) << x;
}

// Powers of two have a narrower gap below them; check every one in range.
TEST(WriteFloat, PowersOfTwoAndNeighbours) {
  for (int e = -13; e < 54; ++e) {
    const double p = std::ldexp(1.0, e);
    for (double x : {p, std::nextafter(p, 0.0), std::nextafter(p, 1e300)}) {
      if (!float_in_range(x)) continue;
      ASSERT_EQ(float_text(x), oracle::expected(x).text) << e;
    }
  }
}

TEST(WriteFloat, RandomAgainstExactOracle) {
  std::mt19937_64 rng(12345);
  int ties = 0;
  for (int i = 0; i < 300000; ++i) {
    std::uint64_t bits = (static_cast<std::uint64_t>(1009 + rng() % 68) << 52) | (rng() & ((1ull << 52) - 1));
    // Clearing low mantissa bits makes short expansions, where exact ties live.
    if (i % 2) bits &= ~((1ull << (rng() % 53)) - 1);
    double x = std::bit_cast<double>(bits);
    if (rng() & 1) x = -x;
    if (!float_in_range(x)) continue;
    const auto want = oracle::expected(x);
    ties += want.tie;
    ASSERT_EQ(float_text(x), want.text) << std::hex << bits;
  }
  EXPECT_GT(ties, 100);  // the sample must exercise the halfway rule
}

}  // namespace

namespace {

// Every 8-digit block width matters: check all values below 10^6 and a
// dense stride through the rest of the 32-bit range.
TEST(WriteInt, DigitBlocksExhaustive) {
  char buf[sorbek::json::int_chars];
  char want[32];
  auto check = [&](std::uint64_t v) {
    const int n = std::snprintf(want, sizeof want, "%llu", static_cast<unsigned long long>(v));
    char* end = sorbek::json::write_uint64(v, buf);
    ASSERT_EQ(std::string(buf, end), std::string(want, static_cast<std::size_t>(n))) << v;
  };
  for (std::uint64_t v = 0; v < 1000000; ++v) check(v);
  for (std::uint64_t v = 1000000; v < (1ull << 32); v += 997) check(v);
  for (std::uint64_t v = 99999999ull - 5000; v < 100000000ull + 5000; ++v) check(v);
}

}  // namespace

namespace {

// A digit kernel against the portable one, on every operation, for digits
// of every length and every place of the point.
template <class Kernel>
void match_portable() {
  using sorbek::json::digits::Portable;
  std::mt19937_64 rng(99);
  auto text = [](auto store) {
    char buf[32];
    std::memset(buf, '#', sizeof buf);
    store(buf);
    return std::string(buf, sizeof buf);
  };
  for (int i = 0; i < 200000; ++i) {
    // Halves of every length, with runs of zeros at either end.
    std::uint32_t high = static_cast<std::uint32_t>(rng() % 100000000);
    std::uint32_t low = static_cast<std::uint32_t>(rng() % 100000000);
    if (i % 3 == 0) low -= low % static_cast<std::uint32_t>(std::pow(10, rng() % 9));
    if (i % 5 == 0) high -= high % static_cast<std::uint32_t>(std::pow(10, rng() % 9));
    if (i % 7 == 0) low = 0;
    if (i % 11 == 0) high = 0;
    const auto best = Kernel::convert(high, low);
    const auto portable = Portable::convert(high, low);
    ASSERT_EQ(Kernel::trailing_zeros(best), Portable::trailing_zeros(portable)) << high << " " << low;
    ASSERT_EQ(text([&](char* out) { Kernel::store(out, best); }), text([&](char* out) { Portable::store(out, portable); }));
    const unsigned point = static_cast<unsigned>(i % 16);
    ASSERT_EQ(text([&](char* out) { Kernel::store_with_point(out, best, point); }),
              text([&](char* out) { Portable::store_with_point(out, portable, point); }))
        << high << " " << low << " " << point;
  }
}

// Every 4-digit quarter through the whole conversion.
template <class Kernel>
void every_quarter() {
  for (std::uint32_t v = 0; v < 10000; ++v) {
    char buf[16];
    Kernel::store(buf, Kernel::convert(v * 10001, v));
    char want[17];
    std::snprintf(want, sizeof want, "%04u%04u%08u", v, v, v);
    ASSERT_EQ(std::string(buf, 16), std::string(want, 16)) << v;
  }
}

TEST(DigitKernels, MatchPortable) { match_portable<sorbek::json::digits::Best>(); }
TEST(DigitKernels, EveryQuarter) { every_quarter<sorbek::json::digits::Best>(); }

#if defined(SORBEK_X86_64)
using sorbek::json::digits::Avx512Ifma;

TEST(DigitKernels, Avx512MatchesPortable) {
  if (!sorbek::simd::isa_available(sorbek::simd::Isa::avx512)) GTEST_SKIP() << "no AVX-512 IFMA here";
  match_portable<Avx512Ifma>();
  every_quarter<Avx512Ifma>();
}

// Its digits rest on a bound on the multiply-adds' error: every 8-digit
// half, in both places, against the digits of the plain division.
TEST(DigitKernels, Avx512EveryHalf) {
  if (!sorbek::simd::isa_available(sorbek::simd::Isa::avx512)) GTEST_SKIP() << "no AVX-512 IFMA here";
  // The digits as the kernel holds them, a byte each, most significant first
  // in memory; counted up one at a time, with carries, alongside x.
  auto lanes = [](std::uint32_t v) {
    std::uint64_t out = 0;
    for (int byte = 7; byte >= 0; --byte, v /= 10) out |= std::uint64_t{v % 10} << (8 * byte);
    return out;
  };
  auto increment = [](std::uint64_t& l) {
    for (int byte = 7; byte >= 0; --byte) {
      const int shift = 8 * byte;
      if (((l >> shift) & 0xFF) < 9) {
        l += std::uint64_t{1} << shift;
        return;
      }
      l &= ~(std::uint64_t{0xFF} << shift);
    }
  };
  static_assert(std::endian::native == std::endian::little);
  std::uint64_t high_lanes = lanes(0), low_lanes = lanes(50000000);
  for (std::uint32_t x = 0; x < 100000000; ++x) {
    const std::uint32_t y = x < 50000000 ? x + 50000000 : x - 50000000;
    const auto block = Avx512Ifma::convert(x, y);
    std::uint64_t got[2];
    std::memcpy(got, &block.lanes, 16);
    if (got[0] != high_lanes || got[1] != low_lanes) {
      FAIL() << x << " " << y;
    }
    increment(high_lanes);
    if (y == 99999999) low_lanes = 0; else increment(low_lanes);
  }
}
#endif

}  // namespace
