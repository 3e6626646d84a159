#include <gtest/gtest.h>

#include <random>
#include <string>

#include "json/escape_scan.hpp"
#include "kernel_variants.hpp"

namespace {

using namespace sorbek::json;

std::size_t reference(const std::string& s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == '"' || c == '\\') return i;
  }
  return s.size();
}

class EscapeScan : public ::testing::TestWithParam<sorbek::simd::Isa> {};

// Every byte value at every position of every length up to 80, on a clean
// background of both ASCII and high bytes.
TEST_P(EscapeScan, EveryByteAtEveryPosition) {
  const EscapeScanFn scan = escape_scan_for(GetParam());
  for (char background : {'a', static_cast<char>(0xC3), static_cast<char>(0x7F), '!', '#', '[', ']'}) {
    for (std::size_t n = 0; n <= 80; ++n) {
      std::string s(n, background);
      ASSERT_EQ(scan(s.data(), n), n);
      for (std::size_t at = 0; at < n; ++at) {
        for (int b = 0; b < 256; ++b) {
          s[at] = static_cast<char>(b);
          ASSERT_EQ(scan(s.data(), n), reference(s)) << "len " << n << " at " << at << " byte " << b;
          ASSERT_EQ(escape_scan(s.data(), n), reference(s)) << "len " << n << " at " << at << " byte " << b;
        }
        s[at] = background;
      }
    }
  }
}

TEST_P(EscapeScan, RandomAgainstScalar) {
  const EscapeScanFn scan = escape_scan_for(GetParam());
  std::mt19937_64 rng(99);
  for (int i = 0; i < 20000; ++i) {
    const std::size_t n = rng() % 300;
    std::string s(n, 'x');
    for (auto& c : s) c = static_cast<char>(0x20 + rng() % 0xE0);  // mostly clean
    const int specials = static_cast<int>(rng() % 3);
    for (int k = 0; k < specials && n > 0; ++k) s[rng() % n] = static_cast<char>("\"\\\x01\x1f\n"[rng() % 5]);
    ASSERT_EQ(scan(s.data(), n), escape_scan_scalar(s.data(), n));
    ASSERT_EQ(escape_scan(s.data(), n), reference(s));
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, EscapeScan, ::testing::ValuesIn(runnable_isas()), IsaName());

}  // namespace
