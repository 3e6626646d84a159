#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "json/escape_scan.hpp"
#include "guard_page.hpp"
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
// The copy of s by `copy`: the clean prefix copied, its length returned, and
// nothing stored past n.
template <class Copy>
::testing::AssertionResult copies_clean_prefix(Copy copy, const std::string& s) {
  const std::size_t n = s.size();
  std::string to(n + 16, '~');
  const std::size_t clean = copy(s.data(), n, to.data());
  if (clean != reference(s)) return ::testing::AssertionFailure() << "returned " << clean;
  if (to.compare(0, clean, s, 0, clean) != 0) return ::testing::AssertionFailure() << "prefix not copied";
  if (to.compare(n, 16, std::string(16, '~')) != 0) return ::testing::AssertionFailure() << "stored past the end";
  return ::testing::AssertionSuccess();
}

TEST_P(EscapeScan, EveryByteAtEveryPosition) {
  const CopyUntilEscapeFn kernel = copy_until_escape_for(GetParam());
  for (char background : {'a', static_cast<char>(0xC3), static_cast<char>(0x7F), '!', '#', '[', ']'}) {
    for (std::size_t n = 0; n <= 80; ++n) {
      std::string s(n, background);
      ASSERT_TRUE(copies_clean_prefix(kernel, s));
      for (std::size_t at = 0; at < n; ++at) {
        for (int b = 0; b < 256; ++b) {
          s[at] = static_cast<char>(b);
          ASSERT_TRUE(copies_clean_prefix(kernel, s)) << "len " << n << " at " << at << " byte " << b;
          ASSERT_TRUE(copies_clean_prefix(copy_until_escape, s)) << "len " << n << " at " << at << " byte " << b;
        }
        s[at] = background;
      }
    }
  }
}

TEST_P(EscapeScan, RandomAgainstScalar) {
  const CopyUntilEscapeFn kernel = copy_until_escape_for(GetParam());
  std::mt19937_64 rng(99);
  for (int i = 0; i < 20000; ++i) {
    const std::size_t n = rng() % 300;
    std::string s(n, 'x');
    for (auto& c : s) c = static_cast<char>(0x20 + rng() % 0xE0);  // mostly clean
    const int specials = static_cast<int>(rng() % 3);
    for (int k = 0; k < specials && n > 0; ++k) s[rng() % n] = static_cast<char>("\"\\\x01\x1f\n"[rng() % 5]);
    ASSERT_EQ(escape_scan_scalar(s.data(), n), reference(s));
    ASSERT_TRUE(copies_clean_prefix(kernel, s));
    ASSERT_TRUE(copies_clean_prefix(copy_until_escape, s));
  }
}

#if defined(SORBEK_HAS_SHORT_RUN)
using sorbek::simd::ReadBound;

class ShortRun : public ::testing::TestWithParam<ReadBound> {};

// Runs of every short length (1 to 32 bytes) ending at every distance from a
// page that is followed by an inaccessible one, with escapable bytes after
// each run. The page end is also a granule end, so a window read past the
// last byte's granule (for runs ending within 16 bytes of it) or, under the
// exact bound, past a run that ends there, would fault as a read past the
// page does. The result and the copied run are the reference's.
TEST_P(ShortRun, AgainstPortableUpToAGuardPage) {
  const std::uintptr_t mask = sorbek::simd::read_bound_mask(GetParam());
  const GuardPage guard;
  ASSERT_TRUE(guard.ok());
  char* const end = guard.end();
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
        if (!short_window_readable(p, n, mask)) {
          ++declined;
          continue;
        }
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
}

// The exact bound reads a window only where it is the run itself.
TEST(ShortRun, ExactBoundReadsOnlyWholeWindows) {
  alignas(64) char text[3 * short_run] = {};
  const std::uintptr_t exact = sorbek::simd::read_bound_mask(ReadBound::exact);
  for (std::size_t offset = 0; offset < short_run; ++offset) {
    for (std::size_t n = 1; n <= short_run; ++n) {
      EXPECT_EQ(short_window_readable(text + offset, n, exact), n == short_run) << offset << " " << n;
    }
  }
}

// The granule bound lets a window reach at most to the end of the 16-byte
// granule that holds the run's last byte (a guard page cannot show a read
// within a page, so this is checked on the addresses).
TEST(ShortRun, GranuleBoundStaysInTheLastBytesGranule) {
  alignas(64) char text[4 * short_run] = {};
  const std::uintptr_t granule = sorbek::simd::read_bound_mask(ReadBound::granule);
  std::size_t readable = 0;
  for (std::size_t offset = 0; offset < 16; ++offset) {
    for (std::size_t n = 1; n <= short_run; ++n) {
      const std::size_t last_granule_end = (offset + n - 1) / 16 * 16 + 16;
      const bool fits = offset + short_run <= last_granule_end;
      EXPECT_EQ(short_window_readable(text + offset, n, granule), fits) << offset << " " << n;
      readable += fits;
    }
  }
  EXPECT_GT(readable, 0u);
}

// Fresh heap blocks of every short size, each read the way the writer reads
// strings, with this process's bound. Run with a tagged heap (arm64 under
// qemu -cpu max with GLIBC_TUNABLES=glibc.mem.tagging=3) a window that
// reached into a neighbouring block would fault.
TEST(ShortRun, FreshHeapBlocksWithTheProcessBound) {
  std::vector<char*> blocks;
  std::size_t read = 0;
  for (int round = 0; round < 8; ++round) {
    for (std::size_t n = 1; n <= short_run; ++n) {
      auto* p = static_cast<char*>(std::malloc(n));
      ASSERT_NE(p, nullptr);
      std::memset(p, 'a' + static_cast<int>(n % 26), n);
      blocks.push_back(p);
    }
  }
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const std::size_t n = i % short_run + 1;
    if (!short_window_readable(blocks[i], n)) continue;
    char got[short_run];
    ASSERT_EQ(copy_short_run(blocks[i], n, got), n);
    ASSERT_EQ(std::string(got, n), std::string(blocks[i], n));
    ++read;
  }
  for (char* p : blocks) std::free(p);
  EXPECT_GT(read, 0u);
}

INSTANTIATE_TEST_SUITE_P(Bounds, ShortRun, ::testing::Values(ReadBound::page, ReadBound::granule, ReadBound::exact),
                         [](const auto& bound) { return std::string(sorbek::simd::read_bound_name(bound.param)); });
#endif

INSTANTIATE_TEST_SUITE_P(Kernels, EscapeScan, ::testing::ValuesIn(runnable_isas()), IsaName());

}  // namespace
