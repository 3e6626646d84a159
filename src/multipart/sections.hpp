#pragma once
// Splitting a multipart body into (head, payload) ranges, free of Python so
// that it can be tested on its own. The caller supplies the array that
// collects section starts and receives each kept part through a callback.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "multipart/search.hpp"

namespace sorbek::multipart {

inline constexpr std::string_view blank_line = "\r\n\r\n";

// Records, for every non-overlapping occurrence of `delimiter` in `body`, the
// offset of the first byte behind it. `starts` needs push_back(size_t).
template <class Starts>
void find_section_starts(std::string_view body, const Searcher& delimiter, Starts& starts) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(body.data());
  const std::size_t n = delimiter.size();
  const std::size_t size = body.size();
  std::size_t p = 0;
  while (size - p >= n) {
    const std::size_t q = delimiter.find(data, size, p);
    if (q == npos) break;
    p = q + n;
    starts.push_back(p);
  }
}

// Walks the sections behind `starts` and calls emit(head, payload) for each
// kept part, in order: a section opening with "--" ends the walk, one leading
// CRLF is dropped, the head ends at the first blank line (no blank line: the
// section is skipped) and one trailing CRLF is dropped from the payload.
template <class Starts, class Emit>
void walk_sections(std::string_view body, std::size_t delimiter_size, const Starts& starts, Emit&& emit) {
  const Searcher blank(blank_line);
  const auto* data = reinterpret_cast<const std::uint8_t*>(body.data());
  const std::size_t count = starts.size();
  for (std::size_t k = 0; k < count; ++k) {
    std::size_t s = starts[k];
    const std::size_t e = k + 1 < count ? starts[k + 1] - delimiter_size : body.size();
    if (e - s >= 2) {
      if (data[s] == '-' && data[s + 1] == '-') return;
      if (data[s] == '\r' && data[s + 1] == '\n') s += 2;
    }
    if (e - s < 4) continue;
    // Searching only [s, e) keeps the blank line inside this section.
    const std::size_t m = blank.find(data, e, s);
    if (m == npos) continue;
    std::size_t payload_end = e;
    const std::size_t payload_start = m + 4;
    if (payload_end - payload_start >= 2 && data[payload_end - 2] == '\r' && data[payload_end - 1] == '\n') {
      payload_end -= 2;
    }
    emit(body.substr(s, m - s), body.substr(payload_start, payload_end - payload_start));
  }
}

}  // namespace sorbek::multipart
