#pragma once
// Splitting a multipart body into (head, payload) ranges, free of Python so
// that it can be tested on its own. The caller receives each kept part, as
// views into the body, through a callback.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "multipart/blank_line.hpp"
#include "multipart/search.hpp"

namespace sorbek::multipart {

// Walks the sections of `body` and calls emit(head, payload) for each kept
// part, in order. Sections are the pieces between non-overlapping delimiter
// occurrences, the preamble excluded. A section opening with "--" ends the
// walk; one leading CRLF is dropped; the head ends at the first blank line
// (no blank line: the section is skipped); one trailing CRLF is dropped from
// the payload.
//
// Occurrences are found in batches and each section is handled as soon as
// the next occurrence bounds it, so memory stays constant however many
// sections the body holds, and nothing behind the closing marker is scanned.
template <class Emit>
void split_sections(std::string_view body, const Searcher& delimiter, Emit&& emit) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(body.data());
  const std::size_t n = delimiter.size();

  // Handles the section [s, e); false once the closing marker ends the walk.
  auto section = [&](std::size_t s, std::size_t e) {
    if (e - s >= 2) {
      if (data[s] == '-' && data[s + 1] == '-') return false;
      if (data[s] == '\r' && data[s + 1] == '\n') s += 2;
    }
    if (e - s < 4) return true;
    // Searching only [s, e) keeps the blank line inside this section.
    const std::size_t m = blank_line::Best::find(data, s, e);
    if (m == blank_line::not_found) return true;
    const std::size_t payload_start = m + 4;
    std::size_t payload_end = e;
    if (payload_end - payload_start >= 2 && data[payload_end - 2] == '\r' && data[payload_end - 1] == '\n') {
      payload_end -= 2;
    }
    emit(std::string_view(body.data() + s, m - s),
         std::string_view(body.data() + payload_start, payload_end - payload_start));
    return true;
  };

  std::size_t ends[256];
  std::size_t from = 0;
  std::size_t start = npos;  // start of the section awaiting its end
  for (;;) {
    const std::size_t found = delimiter.find_many(data, body.size(), from, ends, std::size(ends));
    for (std::size_t i = 0; i < found; ++i) {
      if (start != npos && !section(start, ends[i] - n)) return;
      start = ends[i];
    }
    if (found < std::size(ends)) break;
  }
  if (start != npos) section(start, body.size());
}

}  // namespace sorbek::multipart
