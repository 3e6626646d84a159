#pragma once
// Fields the writer reads in place from the objects it writes: the item
// arrays of lists and tuples, the entries of dicts keyed by str, a float's
// value, the text of an ASCII str and the value of an int of up to two
// digits. Each is otherwise an out-of-line call under the limited API, once
// per item (PyList_GetItem, PyTuple_GetItem: on a list of literals, a third
// of the time), per entry (PyDict_Next), per float (PyFloat_AsDouble), per
// string (PyUnicode_AsUTF8AndSize) or per int (PyLong_AsLongLongAndOverflow).
//
// Where an object keeps these is not part of the limited API, so the module
// reads them in place only in the CPython versions whose layout it knows
// (3.12 to 3.14: a list's pointer to its items after the variable-size
// header; a tuple's items after it, or after the cached hash from 3.14 on; a
// dict's entries in its table of keys (below); a float's value after the
// object header; an int's sign and number of 30-bit
// digits after the header, then its digits; a str's length after the header,
// and, in a str made in one block whose characters are all ASCII, which its
// state bits tell, its text after the fixed fields), and only after
// checking, when it is loaded, that objects it made hold their contents
// where that layout says. Elsewhere, each is read through the API. An
// instance of a list, tuple, dict, float or int subclass begins with its base's
// fields, so it is read alike; a str subclass's instance keeps its text
// apart and is read through the API.

#include <cstddef>
#include <cstdint>

#include "module/python.hpp"

namespace sorbek::json {

struct ObjectLayout {
  std::size_t list_items = 0;   // offset of a list's pointer to its items; 0 where not known
  std::size_t tuple_items = 0;  // offset of a tuple's first item; 0 where not known
  std::size_t float_value = 0;  // offset of a float's value; 0 where not known
  std::size_t str_text = 0;     // offset of a compact ASCII str's text; 0 where not known
  std::size_t str_units = 0;    // offset of a compact non-ASCII str's characters; 0 where not known
  std::size_t int_digits = 0;   // offset of an int's digits; 0 where not known
  bool dict_entries = false;    // whether a dict's entries are read in place
};

// A dict: after the header, its number of entries, a tag, its table of keys
// and its values kept apart from that table (NULL where they are in it, in a
// table of its own). The table of keys: a reference count, the log2 of its
// size and of its hash index's size in bytes, the kind of its keys, a
// version, the room left, the number of entries made, the hash index, then
// the entries in order of insertion. Where every key is a str, an entry is
// a key and a value (the value NULL where the entry was removed).
inline constexpr std::size_t dict_keys_offset = sizeof(PyObject) + 2 * sizeof(Py_ssize_t);
inline constexpr std::size_t dict_values_offset = dict_keys_offset + sizeof(void*);
inline constexpr std::size_t keys_index_size_offset = sizeof(Py_ssize_t) + 1;
inline constexpr std::size_t keys_kind_offset = sizeof(Py_ssize_t) + 2;
inline constexpr unsigned char keys_all_str = 1;
inline constexpr std::size_t keys_entry_count_offset = 3 * sizeof(Py_ssize_t);
inline constexpr std::size_t keys_index_offset = 4 * sizeof(Py_ssize_t);

// An int's tag: its sign in the lowest two bits (0 positive, 1 zero, 2
// negative), a flag, then its number of digits.
inline constexpr std::size_t int_tag_offset = sizeof(PyObject);
inline constexpr unsigned int_digit_bits = 30;

// A str's length in characters, its state bits (the low byte) and the bits
// that mark it compact and ASCII, where its text follows its fixed fields.
inline constexpr std::size_t str_length_offset = sizeof(PyObject);
inline constexpr std::size_t str_state_offset = sizeof(PyObject) + 2 * sizeof(Py_ssize_t);
inline constexpr unsigned char str_compact_ascii = 0x60;
// An ASCII str's characters follow its state (a 32-bit field, padded); a
// non-ASCII str's state is followed by the length of its UTF-8 form and a
// pointer to it (NULL until CPython makes it), then by its characters.
inline constexpr std::size_t str_ascii_text_offset = str_state_offset + sizeof(Py_ssize_t);
inline constexpr std::size_t str_utf8_length_offset = str_state_offset + sizeof(Py_ssize_t);
inline constexpr std::size_t str_utf8_offset = str_utf8_length_offset + sizeof(Py_ssize_t);
inline constexpr std::size_t str_units_offset = str_utf8_offset + sizeof(void*);

// Whether this CPython is one whose layout the module knows: 3.12 to 3.14.
inline bool layout_version_known() noexcept {
  const unsigned long version = Py_Version >> 16;
  return version >= 0x030C && version <= 0x030E;
}

// Set once, by find_object_layout (hidden, so that it is read straight, not
// through the symbol table).
[[gnu::visibility("hidden")]] extern ObjectLayout object_layout;

// Checks the layout; false with the exception pending when the objects to
// check it with cannot be made. Run by the module's execution step.
bool find_object_layout() noexcept;

// The items of a list or a tuple: false where they are read through the API.
// (An empty list may have no array: its items are then NULL.)
inline bool list_items(PyObject* list, PyObject* const*& items) noexcept {
  if (object_layout.list_items == 0) return false;
  __builtin_memcpy(&items, reinterpret_cast<const char*>(list) + object_layout.list_items, sizeof items);
  return true;
}
inline bool tuple_items(PyObject* tuple, PyObject* const*& items) noexcept {
  if (object_layout.tuple_items == 0) return false;
  items = reinterpret_cast<PyObject* const*>(reinterpret_cast<const char*>(tuple) + object_layout.tuple_items);
  return true;
}

// A float's value, read in place or else through the API (which cannot fail
// for a float or a subclass's instance: it reads the stored number).
inline double float_value(PyObject* number) noexcept {
  if (object_layout.float_value == 0) [[unlikely]] return PyFloat_AsDouble(number);
  double value;
  __builtin_memcpy(&value, reinterpret_cast<const char*>(number) + object_layout.float_value, sizeof value);
  return value;
}

// The entries of a dict whose keys are all str and whose values are in its
// table: pairs of key and value from `entry` up to `end`, a removed entry's
// value NULL.
struct DictEntries {
  PyObject* const* entry;
  PyObject* const* end;
  // The next entry in use, as PyDict_Next would give it; false after the last.
  bool next(PyObject*& key, PyObject*& value) noexcept {
    for (; entry != end; entry += 2) {
      if (entry[1] != nullptr) {
        key = entry[0];
        value = entry[1];
        entry += 2;
        return true;
      }
    }
    return false;
  }
};
// False where the dict is read through the API.
inline bool dict_entries(PyObject* dict, DictEntries& entries) noexcept {
  if (!object_layout.dict_entries) return false;
  const auto* bytes = reinterpret_cast<const char*>(dict);
  const char* keys;
  const void* values;
  __builtin_memcpy(&keys, bytes + dict_keys_offset, sizeof keys);
  __builtin_memcpy(&values, bytes + dict_values_offset, sizeof values);
  if (values != nullptr || static_cast<unsigned char>(keys[keys_kind_offset]) != keys_all_str) return false;
  Py_ssize_t count;
  __builtin_memcpy(&count, keys + keys_entry_count_offset, sizeof count);
  const unsigned index_size_log2 = static_cast<unsigned char>(keys[keys_index_size_offset]);
  entries.entry = reinterpret_cast<PyObject* const*>(keys + keys_index_offset + (std::size_t{1} << index_size_log2));
  entries.end = entries.entry + 2 * count;
  return true;
}

// The value of an int of up to two digits (below 2^60 in magnitude), or
// false where it is read through the API.
inline bool int_value(PyObject* number, long long& value) noexcept {
  if (object_layout.int_digits == 0) return false;
  const auto* bytes = reinterpret_cast<const char*>(number);
  std::uintptr_t tag;
  __builtin_memcpy(&tag, bytes + int_tag_offset, sizeof tag);
  const std::uintptr_t digit_count = tag >> 3;
  if (digit_count > 2) return false;
  // The second digit is read only where there is one (from the first's
  // place otherwise, and masked off), so that nothing past the object is.
  const char* digits = bytes + object_layout.int_digits;
  std::uint32_t low, high;
  __builtin_memcpy(&low, digits, sizeof low);
  __builtin_memcpy(&high, digits + (digit_count >> 1) * sizeof high, sizeof high);
  const std::uint64_t magnitude = low + ((std::uint64_t{high} & (0 - std::uint64_t{digit_count >> 1})) << int_digit_bits);
  const std::uint64_t negative = 0 - std::uint64_t{(tag >> 1) & 1};
  value = static_cast<long long>((magnitude ^ negative) - negative);
  return true;
}

// The text of a str made in one block with only ASCII characters (its UTF-8
// form), or NULL where it is read through the API.
inline const char* ascii_text(PyObject* text, Py_ssize_t& length) noexcept {
  const auto* bytes = reinterpret_cast<const char*>(text);
  if (object_layout.str_text == 0 ||
      (static_cast<unsigned char>(bytes[str_state_offset]) & str_compact_ascii) != str_compact_ascii) {
    return nullptr;
  }
  __builtin_memcpy(&length, bytes + str_length_offset, sizeof length);
  return bytes + object_layout.str_text;
}

// The characters of a str made in one block with a character beyond ASCII:
// `kind` bytes each (1, 2 or 4), and its UTF-8 form where CPython has made
// it. False where it is read through the API.
struct StrUnits {
  const void* units;
  std::size_t length;
  unsigned kind;
  const char* utf8;
  std::size_t utf8_length;
};
inline bool str_units(PyObject* text, StrUnits& found) noexcept {
  const auto* bytes = reinterpret_cast<const char*>(text);
  const auto state = static_cast<unsigned char>(bytes[str_state_offset]);
  if (object_layout.str_units == 0 || (state & str_compact_ascii) != 0x20) return false;
  Py_ssize_t length, utf8_length;
  __builtin_memcpy(&length, bytes + str_length_offset, sizeof length);
  __builtin_memcpy(&utf8_length, bytes + str_utf8_length_offset, sizeof utf8_length);
  __builtin_memcpy(&found.utf8, bytes + str_utf8_offset, sizeof found.utf8);
  found.units = bytes + object_layout.str_units;
  found.length = static_cast<std::size_t>(length);
  found.kind = (state >> 2) & 7u;
  found.utf8_length = static_cast<std::size_t>(utf8_length);
  return true;
}

}  // namespace sorbek::json
