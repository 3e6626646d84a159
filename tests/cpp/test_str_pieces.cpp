#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "json/str_pieces.hpp"

namespace {

using namespace sorbek::json;

std::vector<TextBlock> blocks_of(const std::string& text) {
  std::vector<TextBlock> blocks;
  scan_blocks(text.data(), text.size(), blocks);
  return blocks;
}

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Random text of ASCII with runs of 2-, 3- and 4-byte characters.
std::string random_text(std::mt19937_64& rng, std::size_t size, int wide_percent, bool astral) {
  static const char* wide[] = {"\xc3\xa9", "\xe4\xb8\xad", "\xe2\x80\x94", "\xf0\x9f\x98\x80"};
  std::string text;
  while (text.size() < size) {
    if (static_cast<int>(rng() % 100) < wide_percent) {
      text += wide[rng() % (astral ? 4 : 3)];
    } else {
      text += static_cast<char>('a' + rng() % 26);
    }
  }
  return text;
}

// The pieces cover the text in order, never split a character, and each
// has the form its bytes allow; UTF-16 pieces stay within the scratch size.
TEST(StrPieces, CoverTheTextInFittingForms) {
  std::mt19937_64 rng(3);
  for (int trial = 0; trial < 300; ++trial) {
    const std::string text = random_text(rng, rng() % 70000, static_cast<int>(rng() % 3 == 0 ? 0 : rng() % 4), false);
    const std::vector<TextBlock> blocks = blocks_of(text);
    std::size_t at = 0, high = 0;
    for (const TextBlock& block : blocks) {
      ASSERT_GT(block.end, at);
      ASSERT_TRUE(block.end == text.size() || !is_continuation(text[block.end]));
      at = block.end;
      high += block.high;
    }
    ASSERT_EQ(at, text.size());
    std::size_t want_high = 0;
    for (char c : text) want_high += static_cast<unsigned char>(c) >= 0x80;
    ASSERT_EQ(high, want_high);

    std::size_t next = 0;
    emit_pieces(blocks, [&](const Piece& piece) {
      ASSERT_EQ(piece.begin, next);
      ASSERT_GT(piece.end, piece.begin);
      next = piece.end;
      unsigned max = 0;
      for (std::size_t i = piece.begin; i < piece.end; ++i) max = std::max(max, static_cast<unsigned>(static_cast<unsigned char>(text[i])));
      if (piece.form == PieceForm::ascii) {
        ASSERT_LT(max, 0x80u);
      } else if (piece.form == PieceForm::latin1) {
        ASSERT_LT(max, 0xC4u);
      } else {
        ASSERT_GE(max, 0xC4u);
        ASSERT_LE(piece.end - piece.begin, wide_piece_max);
      }
    });
    ASSERT_EQ(next, text.size());
  }
}

// ASCII with runs of `run` 3-byte characters every `gap` ASCII bytes.
std::string runs_text(std::size_t size, std::size_t run, std::size_t gap) {
  std::string text;
  while (text.size() < size) {
    for (std::size_t i = 0; i < run; ++i) text += "\xe4\xb8\xad";
    text += std::string(gap, 'a');
  }
  return text;
}

StrRoute route_of(const std::string& text) { return choose_route(text.data(), blocks_of(text)); }

TEST(StrPieces, RouteByWhatTheTextHolds) {
  std::mt19937_64 rng(4);
  EXPECT_EQ(route_of(""), StrRoute::ascii);
  EXPECT_EQ(route_of(std::string(10000, 'a')), StrRoute::ascii);
  EXPECT_EQ(route_of(std::string(10000, 'a') + "\xc3\xbf"), StrRoute::latin1);
  // Mostly ASCII with a wide character: in pieces where the blocks that
  // hold one are at most an eighth of the text, whole where they are more.
  EXPECT_EQ(route_of(std::string(10000, 'a') + "\xc4\x80"), StrRoute::utf8);
  EXPECT_EQ(route_of("\xc4\x80" + std::string(8 * piece_block - 3, 'a')), StrRoute::utf8);
  EXPECT_EQ(route_of("\xc4\x80" + std::string(8 * piece_block - 2, 'a')), StrRoute::pieces);
  EXPECT_EQ(route_of(std::string(100000, 'a') + "\xc3\xa9" + std::string(100000, 'b') + "\xe2\x80\x94"),
            StrRoute::pieces);
  // Beyond 1 MiB, whole.
  EXPECT_EQ(route_of("\xc4\x80" + std::string(sparse_wide_limit - 2, 'a')), StrRoute::pieces);
  EXPECT_EQ(route_of("\xc4\x80" + std::string(sparse_wide_limit - 1, 'a')), StrRoute::utf8);
  EXPECT_EQ(route_of(std::string(100000, 'a') + "\xc4\x80\xf0\x9f\x98\x80"), StrRoute::utf8);
  EXPECT_EQ(route_of(std::string(100000, 'a') + "\xf0\x9f\x98\x80" + std::string(100000, 'a')), StrRoute::utf8);
  EXPECT_EQ(route_of(random_text(rng, 50000, 5, false)), StrRoute::utf8);
  // Dense text: in pieces, with characters beyond the BMP too (as
  // surrogate pairs); sparse ones beyond it in ASCII: whole.
  EXPECT_EQ(route_of(random_text(rng, 50000, 90, false)), StrRoute::pieces);
  EXPECT_EQ(route_of(random_text(rng, 50000, 90, false) + "\xf0\x9f\x98\x80"), StrRoute::pieces);
  EXPECT_EQ(route_of(random_text(rng, 50000, 90, true)), StrRoute::pieces);
  // Three quarters of the bytes beyond ASCII: in pieces where the wide
  // characters come in runs, whole where they alternate with ASCII.
  EXPECT_EQ(route_of(runs_text(50000, 3, 3)), StrRoute::pieces);
  EXPECT_EQ(route_of(runs_text(50000, 2, 2)), StrRoute::utf8);
  EXPECT_EQ(route_of(runs_text(50000, 1, 1)), StrRoute::utf8);
}

}  // namespace
