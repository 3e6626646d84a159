#pragma once
// JSON string literals as json.dumps writes them with ensure_ascii=False:
// only '"', '\\' and U+0000..U+001F are escaped; everything else, DEL and
// non-ASCII included, is copied as its UTF-8 bytes.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "json/escape_scan.hpp"
#include "json/object_layout.hpp"
#include "json/utf8_from_units.hpp"
#include "json/output_buffer.hpp"

namespace sorbek::json {

namespace detail {

// The escape of one byte below 0x20 or '"' or '\\' at `at`, which has room
// for 6 bytes; returns the end of the 2 or 6 bytes written.
inline char* write_escape(char* at, unsigned char c) noexcept {
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
    at[0] = '\\';
    at[1] = two;
    return at + 2;
  }
  constexpr char hex[] = "0123456789abcdef";
  const char escape[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
  std::memcpy(at, escape, 6);
  return at + 6;
}

}  // namespace detail

// Writes the literal for `length` bytes of valid UTF-8 at `text`, quotes
// included, at the cursor `at` of `out`; returns the cursor after it, with
// room for one more byte (a separator: see ValueWriter).
inline char* write_json_string(OutputBuffer& out, char* at, const char* text, std::size_t length) {
#if defined(SORBEK_HAS_SHORT_RUN)
  if (length - 1 < short_run && short_window_readable(text, length)) {  // 1 to short_run bytes
    at = out.room(at, short_run + 3);
    at[0] = '"';
    if (copy_short_run(text, length, at + 1) == length) {
      at[1 + length] = '"';
      return at + length + 2;
    }
  }
#endif
  // One reservation covers a string without escapes; each escape adds its own.
  at = out.room(at, length + 3);
  *at++ = '"';
  for (;;) {
    const std::size_t clean = copy_until_escape(text, length, at);
    at += clean;
    if (clean == length) break;
    const std::size_t rest = length - clean - 1;
    at = out.room(at, rest + 6 + 2);
    at = detail::write_escape(at, static_cast<unsigned char>(text[clean]));
    text += clean + 1;
    length = rest;
  }
  *at++ = '"';
  return at;
}

// Writes the literal of a str's characters read in place (see
// utf8_from_units.hpp) as write_json_string does its UTF-8, a block of them
// at a time (room for four bytes each, not six: escapes are few); returns
// NULL, having written part of it, where one is a surrogate, which UTF-8
// cannot hold.
inline char* write_units_string(OutputBuffer& out, char* at, const StrUnits& text) {
  constexpr std::size_t block = 1024;
  const char* units = static_cast<const char*>(text.units);
  const std::size_t kind = text.kind;
  at = out.room(at, 1);
  *at++ = '"';
  for (std::size_t left = text.length; left > 0;) {
    const std::size_t n = left < block ? left : block;
    // The block's UTF-8, and then an escape (6 bytes) and the closing quote
    // and the byte after it.
    at = out.room(at, 4 * n + units::out_slack + 8);
    std::size_t done = 0;
    switch (kind) {
      case 1: at += units::best.from_latin1(reinterpret_cast<const std::uint8_t*>(units), n, at, done); break;
      case 2: at += units::best.from_ucs2(reinterpret_cast<const std::uint16_t*>(units), n, at, done); break;
      default: at += units::best.from_ucs4(reinterpret_cast<const std::uint32_t*>(units), n, at, done); break;
    }
    units += done * kind;
    left -= done;
    if (done == n) continue;
    std::uint32_t unit = 0;
    std::memcpy(&unit, units, kind);  // little-endian: the unit's value
    if (unit >= 0x80) return nullptr;  // a surrogate
    at = detail::write_escape(at, static_cast<unsigned char>(unit));
    units += kind;
    left -= 1;
  }
  *at++ = '"';
  return at;
}

}  // namespace sorbek::json
