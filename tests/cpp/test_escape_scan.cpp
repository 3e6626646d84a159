#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
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

#if defined(SORBEK_HAS_SHORT_RUN)
// Runs of every short length (1 to 32 bytes) ending at every distance from a page that is
// followed by an inaccessible one, with escapable bytes after each run: the
// window is read only where it is declared readable (a read past the page
// would fault), and the result and the copied run are the reference's.
TEST(ShortRun, AgainstPortableUpToAGuardPage) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  ASSERT_EQ(mprotect(static_cast<char*>(map) + page, page, PROT_NONE), 0);
  char* const end = static_cast<char*>(map) + page;
  std::mt19937_64 rng(11);
  std::size_t read = 0, declined = 0;
  for (std::size_t n = 1; n <= short_run; ++n) {
    for (std::size_t gap = 0; gap <= 2 * short_run; ++gap) {
      char* const p = end - gap - n;
      for (int trial = 0; trial < 40; ++trial) {
        std::memset(p, trial % 2 ? '"' : '\\', n + gap);
        for (std::size_t i = 0; i < n; ++i) {
          p[i] = rng() % 16 == 0 ? "\"\\\x01\x1f\n"[rng() % 5] : static_cast<char>(0x20 + rng() % 0xE0);
          if (p[i] == '"' || p[i] == '\\') p[i] = rng() % 8 == 0 ? p[i] : 'a';
        }
        if (!short_window_readable(p)) {
          ++declined;
          continue;
        }
        ASSERT_GE(static_cast<std::size_t>(end - p), short_run);
        char got[short_run], want[short_run];
        const std::size_t index = copy_short_run(p, n, got);
        ASSERT_EQ(index, copy_short_run_portable(p, n, want)) << "len " << n << " gap " << gap;
        ASSERT_EQ(std::string(got, n), std::string(want, n)) << "len " << n << " gap " << gap;
        ++read;
      }
    }
  }
  EXPECT_GT(read, 0u);
  EXPECT_GT(declined, 0u);
  munmap(map, 2 * page);
}
#endif

INSTANTIATE_TEST_SUITE_P(Kernels, EscapeScan, ::testing::ValuesIn(runnable_isas()), IsaName());

}  // namespace
