#pragma once
// How the result str is made from the writer's UTF-8 output where it cannot
// be written in place (a CPython whose str layout the module does not know),
// by what the output holds (measured on outputs of 10 KB to 4 MB, with 0 to
// 30% of their characters above U+00FF, sparse and dense):
// - characters that all fit Latin-1: made whole, from ASCII or from Latin-1
//   rewritten in place, which CPython copies at memory speed into a str it
//   allocates once at its final size;
// - at least half of the bytes beyond ASCII, in runs of a few characters or
//   more (text in most non-Latin scripts, emoji and all): CPython decodes
//   such UTF-8 a character at a time and UTF-16 about twice as fast, so it
//   is made in pieces that the interpreter joins into one str: runs of 4 KiB
//   blocks without a character above U+00FF as ASCII or Latin-1, and blocks
//   with one, merged up to 16 KiB, recoded to UTF-16 (surrogate pairs beyond
//   the BMP) in a small scratch buffer. No allocation of the call then grows
//   much beyond the output, and the str is allocated once at its final
//   width;
// - text within the BMP, up to 1 MiB, whose characters above U+00FF lie in
//   few of its blocks (see sparse_wide_share): in pieces alike;
// - anything else (mostly ASCII with wider characters throughout, or with
//   characters beyond the BMP): decoded from UTF-8 whole. Recoding it would
//   cost a second copy of the text about as large as the str, and the fresh
//   pages of that copy, faulted in on each call once the allocator has
//   handed large blocks back, cost more than CPython's slower decoding of it.
//
// Free of Python.

#include <algorithm>
#include <cstddef>

#include "json/transcode.hpp"

namespace sorbek::json {

inline constexpr std::size_t piece_block = 4096;
inline constexpr std::size_t wide_piece_limit = 16384;

// A block of the output: from the previous block's end (or 0) to `end`,
// never splitting a character; its largest byte and how many of its bytes
// belong to characters beyond ASCII.
struct TextBlock {
  std::size_t end;
  unsigned max;
  std::size_t high;
};

// Whether a block whose largest byte is `max` holds a character above U+00FF.
inline bool block_is_wide(unsigned max) noexcept {
  return transcode::width_of_max_byte(max) > transcode::Width::latin1;
}

// Appends the blocks of valid UTF-8 data[0, n) to `blocks` (push_back).
template <class Blocks>
void scan_blocks(const char* data, std::size_t n, Blocks& blocks) {
  std::size_t begin = 0;
  while (begin < n) {
    std::size_t end = std::min(n, begin + piece_block);
    while (end < n && (static_cast<unsigned char>(data[end]) & 0xC0) == 0x80) ++end;
    const transcode::TextStats stats = transcode::stats(data + begin, end - begin);
    blocks.push_back(TextBlock{end, stats.max, stats.high});
    begin = end;
  }
}

enum class StrRoute { ascii, latin1, utf8, pieces };

// Text beyond ASCII is recoded to UTF-16 only where it comes in runs of at
// least this many bytes on average: the recoding moves ASCII 16 bytes at a
// time but decodes the rest a character at a time, and where ASCII and wider
// characters alternate every character or two, switching between the two
// costs more than CPython's UTF-8 decoding; from runs of three 3-byte
// characters on, the recoding wins (measured on 500 KB outputs with three
// quarters of their bytes beyond ASCII, CJK and punctuation alike).
inline constexpr std::size_t min_wide_run = 8;

// The route for the `size` bytes of valid UTF-8 at `data`, whose largest byte
// is `max` and of which `high` bytes are 0x80 or more.
inline StrRoute route_for(const char* data, std::size_t size, unsigned max, std::size_t high) noexcept {
  switch (transcode::width_of_max_byte(max)) {
    case transcode::Width::ascii: return StrRoute::ascii;
    case transcode::Width::latin1: return StrRoute::latin1;
    case transcode::Width::bmp:
    case transcode::Width::astral:
      // The runs are counted only for text that could be made in pieces.
      if (2 * high >= size && high >= min_wide_run * transcode::Best::high_runs(data, size)) return StrRoute::pieces;
      return StrRoute::utf8;
  }
  return StrRoute::utf8;
}

// Text within the BMP whose characters above U+00FF lie in at most one
// block in this many (a name, a dash or a ligature here and there in a large
// response) is made in pieces too, however sparse its other non-ASCII
// characters: CPython decodes UTF-8 into a str wider than Latin-1 at a
// fraction of the speed of copying it, and widens what it decoded before the
// first wide character in a second copy; in pieces, the narrow blocks are
// copied into strs at memory speed and widened once, by the join, and the
// peak is lower by that second copy. (Measured on 40 KB to 4 MB outputs
// with 1 to 100 wide characters: 0.63 to 0.89 of the time of decoding the
// UTF-8 whole where they lie in few blocks, 1.02 to 1.04 where one lies in
// the last block only; where they lie in most blocks, switching between
// pieces costs more, up to 1.5 times. With characters
// beyond the BMP, whose str is four bytes a character, it measured no
// faster, so such text is decoded whole.) Up to 1 MiB of text: the pieces
// are a second copy of it, and where the allocator hands large blocks back
// after each call (a process that makes nothing else as large), the page
// faults of a larger copy cost more than the decoding saves (4 MB with the
// wide characters at its start: 1.17 of the time of decoding it whole).
inline constexpr std::size_t sparse_wide_share = 8;
inline constexpr std::size_t sparse_wide_limit = std::size_t{1} << 20;

template <class Blocks>
StrRoute choose_route(const char* data, const Blocks& blocks) {
  unsigned max = 0;
  std::size_t high = 0, wide_bytes = 0, begin = 0;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    max = std::max(max, blocks[i].max);
    high += blocks[i].high;
    if (block_is_wide(blocks[i].max)) wide_bytes += blocks[i].end - begin;
    begin = blocks[i].end;
  }
  if (transcode::width_of_max_byte(max) == transcode::Width::bmp && wide_bytes * sparse_wide_share <= begin &&
      begin <= sparse_wide_limit) {
    return StrRoute::pieces;
  }
  return route_for(data, begin, max, high);
}

enum class PieceForm { ascii, latin1, utf16 };

struct Piece {
  PieceForm form;
  std::size_t begin, end;  // byte range of the output
};

// Calls emit(piece) for the pieces of the blocks, in order.
template <class Blocks, class Emit>
void emit_pieces(const Blocks& blocks, Emit&& emit) {
  std::size_t begin = 0, i = 0;
  const std::size_t count = blocks.size();
  while (i < count) {
    const std::size_t start = begin;
    unsigned max = 0;
    if (block_is_wide(blocks[i].max)) {
      while (i < count && block_is_wide(blocks[i].max) && begin - start < wide_piece_limit) begin = blocks[i++].end;
      emit(Piece{PieceForm::utf16, start, begin});
      continue;
    }
    while (i < count && !block_is_wide(blocks[i].max)) {
      max = std::max(max, blocks[i].max);
      begin = blocks[i++].end;
    }
    emit(Piece{transcode::width_of_max_byte(max) == transcode::Width::ascii ? PieceForm::ascii : PieceForm::latin1,
               start, begin});
  }
}

// The longest UTF-16 piece, in bytes of UTF-8 (and so in units at most).
inline constexpr std::size_t wide_piece_max = wide_piece_limit + piece_block + 3;

}  // namespace sorbek::json
