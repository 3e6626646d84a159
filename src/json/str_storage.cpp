#include "json/str_storage.hpp"

#include <cstdint>
#include <cstring>

#include "json/object_layout.hpp"
#include "module/process_object.hpp"

namespace sorbek::json {

StrStorage str_storage;

namespace {

// The fill characters, kept for the life of the process.
ProcessObject kept;

// A str's hash follows its length (-1 until computed); the fields after its
// state are object_layout.hpp's.
constexpr std::size_t str_hash_offset = sizeof(PyObject) + sizeof(Py_ssize_t);
constexpr unsigned char state_bits = 0x7F;  // interned (2 bits), kind (3), compact, ASCII
constexpr unsigned char compact = 0x20, ascii = 0x40;

constexpr unsigned kind_of(StrWidth width) noexcept {
  return width == StrWidth::ucs2 ? 2 : width == StrWidth::ucs4 ? 4 : 1;
}
constexpr unsigned char state_of(StrWidth width) noexcept {
  return static_cast<unsigned char>((kind_of(width) << 2) | compact | (width == StrWidth::ascii ? ascii : 0));
}
constexpr std::size_t characters_of(StrWidth width) noexcept {
  return width == StrWidth::ascii ? str_ascii_text_offset : str_units_offset;
}

template <class T>
T field(PyObject* object, std::size_t offset) noexcept {
  T value;
  std::memcpy(&value, reinterpret_cast<const char*>(object) + offset, sizeof value);
  return value;
}

// A new str of `length` characters of the width of `fill`, whose first
// character is fill's and whose others are not set yet: resizing a str that
// is shared (fill is kept, and this holds a second reference) makes a new
// one at the new size and copies what fits, without filling the rest.
PyObject* sized_like(PyObject* fill, Py_ssize_t length) noexcept {
  PyObject* str = Py_NewRef(fill);
  if (PyUnicode_Resize(&str, length) != 0) {
    Py_DECREF(str);
    return nullptr;
  }
  return str;
}

// A str of that width from either, by its size: below about 512 bytes of
// characters beyond ASCII, filling costs less than the resize's own work
// (outputs of a few dozen such characters took 12% longer resized). ASCII
// strs are always resized: made otherwise, they are decoded.
inline constexpr std::size_t resized_from = 512;
PyObject* make_str(StrWidth width, PyObject* fill, Py_ssize_t length) noexcept {
  if (width == StrWidth::ascii || static_cast<std::size_t>(length) * kind_of(width) >= resized_from) {
    return sized_like(fill, length);
  }
  return PySequence_Repeat(fill, length);
}

// Whether a str of `width` and `length` (a multiple of 3) made by make_str
// has the layout above and, once its characters are written so, equals and
// hashes as CPython's decoding of the same text, in `holds`; false with the
// exception pending when an object cannot be made or compared.
bool check(StrWidth width, PyObject* fill, Py_ssize_t length, bool& holds) noexcept {
  const unsigned kind = kind_of(width);
  Ref str = Ref::steal(make_str(width, fill, length));
  if (!str) return false;
  PyObject* s = str.get();
  holds = Py_TYPE(s) == &PyUnicode_Type && Py_REFCNT(s) == 1 && field<Py_ssize_t>(s, str_length_offset) == length &&
          field<Py_hash_t>(s, str_hash_offset) == -1 &&
          (field<unsigned char>(s, str_state_offset) & state_bits) == state_of(width) &&
          (width == StrWidth::ascii ||
           (field<Py_ssize_t>(s, str_utf8_length_offset) == 0 && field<void*>(s, str_utf8_offset) == nullptr));
  if (!holds) return true;
  // The fill's character first (every one, where filled), and a terminating
  // zero after the last.
  const auto unit_at = [&](std::size_t i) -> std::uint32_t {
    const std::size_t at = characters_of(width) + kind * i;
    if (kind == 1) return field<std::uint8_t>(s, at);
    return kind == 2 ? field<std::uint16_t>(s, at) : field<std::uint32_t>(s, at);
  };
  const auto count = static_cast<std::size_t>(length);
  const bool filled = width != StrWidth::ascii && count * kind < resized_from;
  const Py_UCS4 fill_char = PyUnicode_ReadChar(fill, 0);
  for (std::size_t i = 0; i < (filled ? count : 1); ++i) holds = holds && unit_at(i) == fill_char;
  holds = holds && unit_at(count) == 0;
  if (!holds) return true;
  // Three characters of the width, written over and over as the writer
  // writes them, and their UTF-8.
  static constexpr std::uint32_t written[str_widths][3] = {
      {'{', '"', 'A'}, {0xE0, 0xA9, 'A'}, {0x4E00, 0x0100, 'A'}, {0x1F600, 0x4E00, 'A'}};
  static constexpr const char* utf8[str_widths] = {"{\"A", "\xC3\xA0\xC2\xA9" "A", "\xE4\xB8\x80\xC4\x80" "A",
                                                   "\xF0\x9F\x98\x80\xE4\xB8\x80" "A"};
  const auto w = static_cast<std::size_t>(width);
  char* characters = reinterpret_cast<char*>(s) + characters_of(width);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t unit = written[w][i % 3];
    if (kind == 1) characters[i] = static_cast<char>(unit);
    if (kind == 2) {
      const auto half = static_cast<std::uint16_t>(unit);
      std::memcpy(characters + 2 * i, &half, 2);
    }
    if (kind == 4) std::memcpy(characters + 4 * i, &unit, 4);
  }
  Ref piece = Ref::steal(PyUnicode_DecodeUTF8(utf8[w], static_cast<Py_ssize_t>(std::strlen(utf8[w])), nullptr));
  if (!piece) return false;
  Ref decoded = Ref::steal(PySequence_Repeat(piece.get(), length / 3));
  if (!decoded) return false;
  const int equal = PyObject_RichCompareBool(s, decoded.get(), Py_EQ);
  if (equal < 0) return false;
  const Py_hash_t hash = PyObject_Hash(s), decoded_hash = PyObject_Hash(decoded.get());
  if (hash == -1 || decoded_hash == -1) return false;
  holds = equal == 1 && hash == decoded_hash;
  return true;
}

}  // namespace

bool find_str_storage() noexcept {
  str_storage = StrStorage{};
  if (!layout_version_known()) return true;  // decoded throughout
  const bool have_fills = kept.ensure([]() -> PyObject* {
    Ref ascii_fill = Ref::steal(PyUnicode_FromOrdinal('a'));
    Ref latin1 = Ref::steal(PyUnicode_FromOrdinal(0xFF));
    Ref ucs2 = Ref::steal(PyUnicode_FromOrdinal(0x100));
    Ref ucs4 = Ref::steal(PyUnicode_FromOrdinal(0x10000));
    if (!ascii_fill || !latin1 || !ucs2 || !ucs4) return nullptr;
    return PyTuple_Pack(4, ascii_fill.get(), latin1.get(), ucs2.get(), ucs4.get());
  });
  if (!have_fills) return false;
  StrStorage found;
  for (const StrWidth width : {StrWidth::ascii, StrWidth::latin1, StrWidth::ucs2, StrWidth::ucs4}) {
    const auto i = static_cast<std::size_t>(width);
    PyObject* fill = PyTuple_GetItem(kept.get(), static_cast<Py_ssize_t>(i));
    // Filled, and resized (the smallest multiple of 3 that is).
    for (const std::size_t length : {std::size_t{3}, (resized_from / kind_of(width) + 2) / 3 * 3}) {
      bool holds = false;
      if (!check(width, fill, static_cast<Py_ssize_t>(length), holds)) return false;
      if (!holds) return true;
    }
    found.fill[i] = fill;
    found.state[i] = state_of(width);
    found.characters[i] = characters_of(width);
  }
  found.known = true;
  str_storage = found;
  return true;
}

bool make_writable_str(StrWidth width, std::size_t length, WritableStr& made) noexcept {
  // A one-character str resized to one character is that str itself.
  if (!str_storage.known || length < 2) return false;
  const auto i = static_cast<std::size_t>(width);
  made.str = Ref::steal(make_str(width, str_storage.fill[i], static_cast<Py_ssize_t>(length)));
  if (!made.str) return true;
  PyObject* s = made.str.get();
  if (Py_REFCNT(s) != 1 || (field<unsigned char>(s, str_state_offset) & state_bits) != str_storage.state[i] ||
      field<Py_ssize_t>(s, str_length_offset) != static_cast<Py_ssize_t>(length)) {
    made.str = Ref();  // not a str this call may write: decoded instead
    return false;
  }
  made.characters = reinterpret_cast<char*>(s) + str_storage.characters[i];
  return true;
}

}  // namespace sorbek::json
