#pragma once
// JSON string literals as json.dumps writes them with ensure_ascii=False:
// only '"', '\\' and U+0000..U+001F are escaped; everything else, DEL and
// non-ASCII included, is copied as its UTF-8 bytes.

#include <cstddef>

#include "json/escape_scan.hpp"
#include "json/output_buffer.hpp"

namespace sorbek::json {

namespace detail {

// The escape of one byte below 0x20 or '"' or '\\': 2 or 6 bytes.
inline void write_escape(OutputBuffer& out, unsigned char c) noexcept {
  char two = 0;
  switch (c) {
    case '"': two = '"'; break;
    case '\\': two = '\\'; break;
    case '\b': two = 'b'; break;
    case '\t': two = 't'; break;
    case '\n': two = 'n'; break;
    case '\f': two = 'f'; break;
    case '\r': two = 'r'; break;
    default: break;
  }
  if (two != 0) {
    const char escape[2] = {'\\', two};
    out.append_unchecked(escape, 2);
    return;
  }
  constexpr char hex[] = "0123456789abcdef";
  const char escape[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
  out.append_unchecked(escape, 6);
}

}  // namespace detail

// Appends the literal for `length` bytes of valid UTF-8 at `text`, quotes included.
inline void write_json_string(OutputBuffer& out, const char* text, std::size_t length) {
#if defined(SORBEK_HAS_SHORT_RUN)
  if (length - 1 < short_run && short_window_readable(text, length)) {  // 1 to short_run bytes
    out.reserve(short_run + 2);
    char* to = out.cursor();
    to[0] = '"';
    if (copy_short_run(text, length, to + 1) == length) {
      to[1 + length] = '"';
      out.advance_to(to + length + 2);
      return;
    }
  }
#endif
  // One reservation covers a string without escapes; each escape adds its own.
  out.reserve(length + 2);
  out.put_unchecked('"');
  for (;;) {
    const std::size_t clean = copy_until_escape(text, length, out.cursor());
    out.advance(clean);
    if (clean == length) break;
    const std::size_t rest = length - clean - 1;
    out.reserve(rest + 6 + 1);
    detail::write_escape(out, static_cast<unsigned char>(text[clean]));
    text += clean + 1;
    length = rest;
  }
  out.put_unchecked('"');
}

}  // namespace sorbek::json
