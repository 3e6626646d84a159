#include <gtest/gtest.h>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "json/utf8_from_units.hpp"
#include "guard_page.hpp"
#include "kernel_variants.hpp"

namespace {

using namespace sorbek::json::units;

// Units of a str of that width: ASCII with runs of wider characters, and now
// and then one to escape or (beyond Latin-1) a surrogate.
template <class Unit>
std::vector<Unit> sample(std::mt19937_64& rng, std::size_t length) {
  const std::uint32_t widest = sizeof(Unit) == 1 ? 0xFF : sizeof(Unit) == 2 ? 0xFFFF : 0x10FFFF;
  std::vector<Unit> units;
  // Runs of ASCII, mixed, wide, stops everywhere, or (beyond Latin-1) long
  // runs of 3-byte characters (CJK text).
  const auto mode = static_cast<unsigned>(rng() % (sizeof(Unit) == 1 ? 4 : 5));
  while (units.size() < length) {
    std::uint32_t c;
    const auto pick = static_cast<unsigned>(rng() % 100);
    if (pick < (mode == 3 ? 10u : 1u)) {
      c = std::vector<std::uint32_t>{0, 0x1F, '"', '\\', 0xD800, 0xDFFF}[rng() % (sizeof(Unit) == 1 ? 4 : 6)];
    } else if (mode == 4) {
      c = static_cast<std::uint32_t>(0x800 + rng() % (0x10000 - 0x800));
      if (c >= 0xD800 && c < 0xE000) c = 0x4E00;
    } else if (mode == 0 || pick < (mode == 2 ? 10u : 60u)) {
      c = static_cast<std::uint32_t>(0x20 + rng() % 0x60);
    } else {
      const std::uint32_t low = std::vector<std::uint32_t>{0x80, 0x800, 0x10000}[rng() % 3];
      c = static_cast<std::uint32_t>(low > widest ? 0x80 + rng() % (widest - 0x7F) : low + rng() % (widest - low + 1));
    }
    units.push_back(static_cast<Unit>(c));
  }
  return units;
}

template <class Unit>
void check_against_portable(std::size_t (*Kernels::*member)(const Unit*, std::size_t, char*, std::size_t&) noexcept) {
  std::mt19937_64 rng(sizeof(Unit));
  const Kernels reference = kernels_for(sorbek::simd::Isa::scalar);
  for (int round = 0; round < 20000; ++round) {
    const std::vector<Unit> units = sample<Unit>(rng, rng() % 300);
    const std::size_t room = 4 * units.size() + out_slack;
    std::string want(room, '\0');
    std::size_t want_done = 0;
    want.resize((reference.*member)(units.data(), units.size(), want.data(), want_done));
    // The reference stops only where it must, and nowhere before.
    ASSERT_TRUE(want_done == units.size() || stops_at(units[want_done]));
    for (std::size_t k = 0; k < want_done; ++k) ASSERT_FALSE(stops_at(units[k]));
    for (const auto isa : runnable_isas()) {
      std::string got(room, '\0');
      std::size_t done = 0;
      got.resize((kernels_for(isa).*member)(units.data(), units.size(), got.data(), done));
      ASSERT_EQ(done, want_done) << sorbek::simd::isa_name(isa) << " unit " << sizeof(Unit) << " round " << round << " at " << (want_done < units.size() ? +units[want_done] : -1);
      ASSERT_EQ(got, want) << sorbek::simd::isa_name(isa) << " round " << round;
    }
  }
}

TEST(Utf8FromUnits, EveryKernelAsThePortableOne) {
  check_against_portable<std::uint8_t>(&Kernels::from_latin1);
  check_against_portable<std::uint16_t>(&Kernels::from_ucs2);
  check_against_portable<std::uint32_t>(&Kernels::from_ucs4);
}

// The UTF-8 of a few code points of each length, against the encoding
// written out by hand.
TEST(Utf8FromUnits, KnownEncodings) {
  const std::vector<std::uint32_t> units = {'A', 0xE9, 0x7FF, 0x800, 0x4E2D, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
  const std::string want = "A\xC3\xA9\xDF\xBF\xE0\xA0\x80\xE4\xB8\xAD\xEF\xBF\xBF\xF0\x90\x80\x80\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF";
  for (const auto isa : runnable_isas()) {
    std::string got(4 * units.size() + out_slack, '\0');
    std::size_t done = 0;
    got.resize(kernels_for(isa).from_ucs4(units.data(), units.size(), got.data(), done));
    EXPECT_EQ(done, units.size()) << sorbek::simd::isa_name(isa);
    EXPECT_EQ(got, want) << sorbek::simd::isa_name(isa);
  }
}

// Units that end where an inaccessible page begins: a read past the last
// unit faults.
template <class Unit>
void check_reads(std::size_t (*Kernels::*member)(const Unit*, std::size_t, char*, std::size_t&) noexcept) {
  const GuardPage guard;
  ASSERT_TRUE(guard.ok());
  std::mt19937_64 rng(23);
  for (std::size_t n = 0; n < 200; ++n) {
    const std::vector<Unit> units = sample<Unit>(rng, n);
    Unit* placed = reinterpret_cast<Unit*>(guard.end()) - units.size();
    if (!units.empty()) std::memcpy(placed, units.data(), units.size() * sizeof(Unit));
    std::string out(4 * units.size() + out_slack, '\0');
    for (const auto isa : runnable_isas()) {
      std::size_t done = 0;
      (kernels_for(isa).*member)(placed, units.size(), out.data(), done);
      ASSERT_LE(done, units.size());
    }
  }
}

TEST(Utf8FromUnits, ReadsNothingPastTheUnits) {
  check_reads<std::uint8_t>(&Kernels::from_latin1);
  check_reads<std::uint16_t>(&Kernels::from_ucs2);
  check_reads<std::uint32_t>(&Kernels::from_ucs4);
}

}  // namespace
