#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "json/transcode.hpp"
#include "guard_page.hpp"
#include "kernel_variants.hpp"

namespace {

using namespace sorbek::json::transcode;

// Text built from code points, so that what every kernel must give is known
// without decoding: its UTF-8, UTF-16 and (when it fits) Latin-1 forms.
struct Sample {
  std::string utf8;
  std::u16string utf16;
  std::u32string ucs4;
  std::string latin1;
  unsigned widest = 0;
};

void append(Sample& s, char32_t cp) {
  s.widest = std::max(s.widest, static_cast<unsigned>(cp));
  if (cp < 0x80) {
    s.utf8 += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s.utf8 += static_cast<char>(0xC0 | (cp >> 6));
    s.utf8 += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s.utf8 += static_cast<char>(0xE0 | (cp >> 12));
    s.utf8 += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s.utf8 += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s.utf8 += static_cast<char>(0xF0 | (cp >> 18));
    s.utf8 += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s.utf8 += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s.utf8 += static_cast<char>(0x80 | (cp & 0x3F));
  }
  if (cp < 0x10000) {
    s.utf16 += static_cast<char16_t>(cp);
  } else {
    s.utf16 += static_cast<char16_t>(0xD800 | ((cp - 0x10000) >> 10));
    s.utf16 += static_cast<char16_t>(0xDC00 | ((cp - 0x10000) & 0x3FF));
  }
  s.ucs4 += cp;
  s.latin1 += static_cast<char>(cp & 0xFF);
}

enum class Runs {
  dense,   // a run every fourth character
  sparse,  // every 64th
  long_,   // runs of up to 200 characters, most of them 3-byte ones (CJK text)
};

// Mostly ASCII with runs of wider characters, up to `widest`.
Sample sample(std::mt19937_64& rng, char32_t widest, std::size_t length, Runs runs) {
  Sample s;
  while (s.utf8.size() < length) {
    if (widest < 0x80 || rng() % (runs == Runs::sparse ? 64 : 4) != 0) {
      append(s, static_cast<char32_t>(rng() % 0x80));
      continue;
    }
    for (std::size_t run = 1 + rng() % (runs == Runs::long_ ? 200 : 24); run > 0; --run) {
      const bool three = runs == Runs::long_ && widest >= 0x800 && rng() % 64 != 0;
      const char32_t low = three ? 0x800 : 0x80, high = three ? std::min<char32_t>(widest, 0xFFFF) : widest;
      char32_t cp = static_cast<char32_t>(low + rng() % (high - low + 1));
      if (cp >= 0xD800 && cp < 0xE000) cp = 0xE000;  // no surrogates in UTF-8
      append(s, cp);
    }
  }
  return s;
}

// Recodes into a buffer with a guard after `room` units and checks the
// units and that the guard is whole (a unit written past the room).
template <class Units, class Recode>
void check_units(const Units& want, std::size_t room, const std::string& name, Recode&& recode) {
  using Unit = typename Units::value_type;
  constexpr auto guard = static_cast<Unit>(~Unit{0});
  std::vector<Unit> units(room + 16, guard);
  using Native = std::conditional_t<sizeof(Unit) == 2, std::uint16_t, std::uint32_t>;
  const std::size_t count = recode(reinterpret_cast<Native*>(units.data()));
  ASSERT_EQ(Units(units.begin(), units.begin() + static_cast<std::ptrdiff_t>(count)), want) << name;
  const auto past = units.begin() + static_cast<std::ptrdiff_t>(room);
  ASSERT_TRUE(std::all_of(past, units.end(), [](Unit u) { return u == guard; })) << name << " wrote past its room";
}

// A recoding by `kernel` and by each runnable instruction set's variant
// (`for_isa`), into room for the text's bytes (a scratch buffer) and into
// room for exactly its units (a str's storage).
template <class Units, class Kernel, class ForIsa>
void check_recoding(const std::string& utf8, const Units& want, const std::string& name, Kernel kernel,
                    ForIsa for_isa) {
  for (const std::size_t room : {utf8.size(), want.size()}) {
    check_units(want, room, name, [&](auto* out) { return kernel(utf8.data(), utf8.size(), out, room); });
    for (const auto isa : runnable_isas()) {
      check_units(want, room, name + ' ' + sorbek::simd::isa_name(isa),
                  [&](auto* out) { return for_isa(isa)(utf8.data(), utf8.size(), out, room); });
    }
  }
}

template <class Kernel>
void check_kernel(const char* name) {
  std::mt19937_64 rng(5);
  for (int i = 0; i < 20000; ++i) {
    const char32_t widest = std::vector<char32_t>{0x7F, 0xFF, 0x7FF, 0xFFFF, 0x10FFFF}[i % 5];
    const Runs runs = i % 10 < 4 ? Runs::dense : i % 10 < 8 ? Runs::sparse : Runs::long_;
    const Sample s = sample(rng, widest, rng() % (runs == Runs::dense ? 300 : 600), runs);
    const TextStats stats = Kernel::stats(s.utf8.data(), s.utf8.size());
    const unsigned max = stats.max;
    unsigned want_max = 0;
    std::size_t want_high = 0;
    for (const char c : s.utf8) {
      want_max = std::max(want_max, static_cast<unsigned>(static_cast<unsigned char>(c)));
      want_high += static_cast<unsigned char>(c) >= 0x80;
    }
    ASSERT_EQ(max, want_max) << name;
    ASSERT_EQ(stats.high, want_high) << name;
    std::size_t want_runs = 0;
    for (std::size_t k = 0; k < s.utf8.size(); ++k) {
      const bool high = static_cast<unsigned char>(s.utf8[k]) >= 0x80;
      want_runs += high && (k == 0 || static_cast<unsigned char>(s.utf8[k - 1]) < 0x80);
    }
    ASSERT_EQ(Kernel::high_runs(s.utf8.data(), s.utf8.size()), want_runs) << name;
    const TextStats best = sorbek::json::transcode::stats(s.utf8.data(), s.utf8.size());
    ASSERT_EQ(best.max, max) << name;
    ASSERT_EQ(best.high, stats.high) << name;
    for (const auto isa : runnable_isas()) {
      const TextStats each = kernels_for(isa).stats(s.utf8.data(), s.utf8.size());
      ASSERT_EQ(each.max, max) << name << ' ' << sorbek::simd::isa_name(isa);
      ASSERT_EQ(each.high, stats.high) << name << ' ' << sorbek::simd::isa_name(isa);
      ASSERT_EQ(each.continuation, stats.continuation) << name << ' ' << sorbek::simd::isa_name(isa);
    }
    const Width width = width_of_max_byte(max);
    ASSERT_EQ(width == Width::ascii, s.widest < 0x80) << name;
    ASSERT_EQ(width <= Width::latin1, s.widest < 0x100) << name;
    ASSERT_EQ(width <= Width::bmp, s.widest < 0x10000) << name;

    std::size_t want_continuation = 0;
    for (const char c : s.utf8) want_continuation += (static_cast<unsigned char>(c) & 0xC0) == 0x80;
    ASSERT_EQ(stats.continuation, want_continuation) << name;
    ASSERT_EQ(best.continuation, want_continuation) << name;

    check_recoding(s.utf8, s.utf16, name, &Kernel::to_utf16, [](sorbek::simd::Isa isa) {
      return kernels_for(isa).to_utf16;
    });
    check_recoding(s.utf8, s.ucs4, name, &Kernel::to_ucs4, [](sorbek::simd::Isa isa) {
      return kernels_for(isa).to_ucs4;
    });

    if (width <= Width::latin1) {
      const auto check_latin1 = [&](auto kernel, const std::string& which) {
        std::string text = s.utf8;
        const std::size_t length = kernel(text.data(), text.size(), text.data());
        ASSERT_EQ(text.substr(0, length), s.latin1) << which;
        ASSERT_EQ(text.substr(length), s.utf8.substr(length)) << which << " wrote past its characters in place";
        std::string apart(s.latin1.size() + 16, '\x01');
        ASSERT_EQ(kernel(s.utf8.data(), s.utf8.size(), apart.data()), s.latin1.size()) << which;
        ASSERT_EQ(apart, s.latin1 + std::string(16, '\x01')) << which;
      };
      check_latin1(&Kernel::to_latin1, name);
      for (const auto isa : runnable_isas()) {
        check_latin1(kernels_for(isa).to_latin1, name + std::string(" ") + sorbek::simd::isa_name(isa));
      }
    }
  }
}

// Every instruction set's kernels, on texts that end where an inaccessible
// page begins: a read past the text's last byte faults.
TEST(Transcode, ReadsNothingPastTheText) {
  const GuardPage guard;
  ASSERT_TRUE(guard.ok());
  char* const end = guard.end();
  std::mt19937_64 rng(17);
  for (int i = 0; i < 3000; ++i) {
    const char32_t widest = std::vector<char32_t>{0xFF, 0xFFFF, 0x10FFFF}[i % 3];
    const Sample s = sample(rng, widest, rng() % 600, i % 2 == 0 ? Runs::long_ : Runs::dense);
    char* const text = end - s.utf8.size();
    std::memcpy(text, s.utf8.data(), s.utf8.size());
    std::vector<std::uint16_t> utf16(s.utf8.size());
    std::vector<std::uint32_t> ucs4(s.utf8.size());
    std::string latin1(s.utf8.size(), '\0');
    for (const auto isa : runnable_isas()) {
      const Kernels k = kernels_for(isa);
      const std::string name = sorbek::simd::isa_name(isa);
      ASSERT_EQ(k.stats(text, s.utf8.size()).continuation, s.utf8.size() - s.ucs4.size()) << name;
      ASSERT_EQ(k.to_utf16(text, s.utf8.size(), utf16.data(), s.utf16.size()), s.utf16.size()) << name;
      ASSERT_EQ(k.to_ucs4(text, s.utf8.size(), ucs4.data(), s.ucs4.size()), s.ucs4.size()) << name;
      if (widest < 0x100) {
        ASSERT_EQ(k.to_latin1(text, s.utf8.size(), latin1.data()), s.latin1.size()) << name;
      }
    }
  }
}

TEST(Transcode, Portable) { check_kernel<Portable>("portable"); }
TEST(Transcode, Best) { check_kernel<Best>("best"); }

}  // namespace
