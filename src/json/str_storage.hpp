#pragma once
// A str made at its final size whose characters the module writes itself.
//
// Under the limited API a str is made from encoded text by one of CPython's
// decoders, which decode UTF-8 beyond ASCII a character at a time (and
// UTF-16 at memory speed only below U+8000); the result is then the writer's
// text decoded once more. In the CPython versions whose layout the module
// knows (3.12 to 3.14), a str made in one block keeps its characters after
// its fixed fields (after the UTF-8 form's length and pointer, where it is
// not ASCII), one, two or four bytes each by its kind. There, a str of any
// width is made by resizing a shared one-character str of that width
// (PyUnicode_Resize, which then allocates a new str once at its final size
// and copies the one character, leaving the others unset), and its
// characters are then written before any other code sees it: it is new (one
// reference), its hash is not computed yet, and it has no UTF-8 form (an
// ASCII str's is its characters). ASCII ones are copied so at memory speed,
// where PyUnicode_DecodeASCII checks and copies 8 bytes at a time. At import the module checks that this holds on strs it
// makes and writes so, against the same text decoded by CPython; elsewhere
// nothing is made so and the decoders are used.

#include <cstddef>

#include "module/python.hpp"
#include "module/ref.hpp"

namespace sorbek::json {

// ASCII; one byte a character, above ASCII; two; four.
enum class StrWidth { ascii, latin1, ucs2, ucs4 };
inline constexpr std::size_t str_widths = 4;

struct StrStorage {
  bool known = false;                         // false where strs are not made so
  std::size_t characters[str_widths] = {};   // offset of the characters (ASCII strs have no UTF-8 fields)
  PyObject* fill[str_widths] = {};           // one character of each width, kept for the life of the process
  unsigned char state[str_widths] = {};      // the state bits (kind, compact, ASCII, not interned) of each
};

// Set once, by find_str_storage (hidden, so that it is read straight, not
// through the symbol table).
[[gnu::visibility("hidden")]] extern StrStorage str_storage;

// Checks the layout and keeps the fill characters; false with the exception
// pending when the objects to check it with cannot be made. Run by the
// module's execution step.
bool find_str_storage() noexcept;

// A new str of `length` characters of that width, to be written through
// `characters` (every one of them: ASCII ones only, or at least one beyond
// ASCII, Latin-1 or U+FFFF by its width, so that the str has the width
// CPython would give it) before anything else sees it.
struct WritableStr {
  Ref str;
  char* characters = nullptr;
};

// False where such a str is not made here (nothing pending: use a decoder);
// true otherwise, with `made.str` NULL and the exception pending where it
// could not be made.
bool make_writable_str(StrWidth width, std::size_t length, WritableStr& made) noexcept;

}  // namespace sorbek::json
