#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "kernel_variants.hpp"
#include "multipart/search.hpp"

namespace {

using sorbek::multipart::npos;
using sorbek::multipart::Searcher;

std::size_t naive(const std::string& hay, const std::string& needle, std::size_t from) {
  if (hay.size() < needle.size() || from > hay.size() - needle.size()) return npos;
  const std::size_t found = hay.find(needle, from);
  return found == std::string::npos ? npos : found;
}

const std::uint8_t* bytes(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

class Search : public ::testing::TestWithParam<sorbek::simd::Isa> {
 protected:
  void check(const std::string& hay, const std::string& needle, std::size_t step = 1) {
    const Searcher searcher(needle, GetParam());
    const Searcher scalar(needle, sorbek::simd::Isa::scalar);
    for (std::size_t from = 0; from <= hay.size() + 1; from += step) {
      const std::size_t want = naive(hay, needle, from);
      ASSERT_EQ(searcher.find(bytes(hay), hay.size(), from), want) << "from " << from;
      ASSERT_EQ(scalar.find(bytes(hay), hay.size(), from), want) << "from " << from;
      ASSERT_EQ(searcher.find_two_way(bytes(hay), hay.size(), from), want) << "from " << from;
    }
    // Batched, non-overlapping, resumed across batches of several sizes.
    std::vector<std::size_t> want_ends;
    for (std::size_t p = naive(hay, needle, 0); p != npos; p = naive(hay, needle, p + needle.size())) {
      want_ends.push_back(p + needle.size());
    }
    for (std::size_t capacity : {1, 2, 3, 7, 256}) {
      for (const Searcher* s : {&searcher, &scalar}) {
        std::vector<std::size_t> ends(capacity), got;
        std::size_t from = 0;
        for (;;) {
          const std::size_t found = s->find_many(bytes(hay), hay.size(), from, ends.data(), capacity);
          got.insert(got.end(), ends.begin(), ends.begin() + static_cast<std::ptrdiff_t>(found));
          if (found < capacity) break;
        }
        ASSERT_EQ(got, want_ends) << "capacity " << capacity;
      }
    }
  }
};

// Small alphabets make matches, near-matches and periodic needles common.
TEST_P(Search, RandomSmallAlphabet) {
  std::mt19937_64 rng(1);
  for (int i = 0; i < 4000; ++i) {
    const int alphabet = 1 + static_cast<int>(rng() % 3);
    auto draw = [&](std::size_t n) {
      std::string s(n, 'a');
      for (auto& c : s) c = static_cast<char>('a' + rng() % alphabet);
      return s;
    };
    const std::string needle = draw(1 + rng() % 12);
    const std::string hay = draw(rng() % 200);
    check(hay, needle);
  }
}

TEST_P(Search, RandomBytesWithPlantedNeedles) {
  std::mt19937_64 rng(2);
  for (int i = 0; i < 1500; ++i) {
    std::string needle(1 + rng() % 80, '\0');
    for (auto& c : needle) c = static_cast<char>(rng());
    std::string hay(rng() % 600, '\0');
    for (auto& c : hay) c = static_cast<char>(rng() % 4 == 0 ? needle[rng() % needle.size()] : rng());
    for (int k = static_cast<int>(rng() % 4); k > 0 && hay.size() >= needle.size(); --k) {
      hay.replace(rng() % (hay.size() - needle.size() + 1), needle.size(), needle);
    }
    check(hay, needle, 3);
  }
}

// Inputs chosen to defeat the two-byte filter or to be periodic.
TEST_P(Search, Adversarial) {
  const std::string dashes70(70, '-');
  check(std::string(5000, '-'), dashes70, 7);
  check(std::string(5000, 'a'), std::string(69, 'a') + "b", 7);
  check(std::string(5000, 'a') + std::string(69, 'a') + "b", std::string(69, 'a') + "b", 11);
  check(std::string(5000, 'a'), std::string(35, 'a') + "b" + std::string(34, 'a'), 7);
  check(std::string(3000, 'a') + "b" + std::string(3000, 'a'), std::string(35, 'a') + "b" + std::string(34, 'a'), 5);
  std::string abab;
  for (int i = 0; i < 3000; ++i) abab += "ab";
  check(abab, "abababababc", 5);
  check(abab + "c", "abababababc", 5);
  check(std::string(4000, '\r') + "\n\r\n\r\n", "\r\n\r\n", 3);
  std::string crlf;
  for (int i = 0; i < 2000; ++i) crlf += (i % 7 == 0) ? "\n\r" : "\r\n";
  check(crlf, "\r\n\r\n", 3);
  check(std::string(100, '\0') + "x", std::string(3, '\0') + "x");
  check("", "a");
  check("a", "a");
  check("ab", "abc");
}

INSTANTIATE_TEST_SUITE_P(Kernels, Search, ::testing::ValuesIn(runnable_isas()), IsaName());

}  // namespace
