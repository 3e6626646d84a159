#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "multipart/blank_line.hpp"

namespace {

using namespace sorbek::multipart::blank_line;

std::size_t naive(const std::string& text, std::size_t from, std::size_t to) {
  const std::size_t at = text.substr(0, to).find("\r\n\r\n", from);
  return at == std::string::npos ? not_found : at;
}

// Text of CR, LF and one other byte, so that partial blank lines are
// everywhere, including across the kernels' 32-byte windows.
TEST(BlankLine, BestMatchesPortableAndNaive) {
  std::mt19937_64 rng(11);
  const char alphabet[] = {'\r', '\n', 'x'};
  for (int i = 0; i < 200000; ++i) {
    std::string text(rng() % 100, 'x');
    for (char& c : text) c = alphabet[rng() % (i % 2 ? 3 : 2)];
    const std::size_t from = text.empty() ? 0 : rng() % (text.size() + 1);
    const std::size_t to = from + rng() % (text.size() - from + 1);
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t want = naive(text, from, to);
    ASSERT_EQ(Portable::find(p, from, to), want) << i;
    ASSERT_EQ(Best::find(p, from, to), want) << i;
  }
}

// A blank line at every start and window position in an otherwise clean run.
TEST(BlankLine, EveryPosition) {
  for (std::size_t length = 4; length < 80; ++length) {
    for (std::size_t at = 0; at + 4 <= length; ++at) {
      const std::string text = std::string(at, 'h') + "\r\n\r\n" + std::string(length - at - 4, 'h');
      const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
      ASSERT_EQ(Best::find(p, 0, length), at) << length << " " << at;
      ASSERT_EQ(Best::find(p, 0, length - 1), at + 4 <= length - 1 ? at : not_found) << length << " " << at;
    }
  }
}

}  // namespace
