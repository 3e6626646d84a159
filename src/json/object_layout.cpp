#include "json/object_layout.hpp"

#include <array>
#include <cstring>

#include "module/ref.hpp"

namespace sorbek::json {

ObjectLayout object_layout;

namespace {

constexpr Py_ssize_t probe_items = 8;

// Whether `at` holds the first `count` of the probe's items one after another.
bool holds(const char* at, const std::array<Ref, probe_items>& items, Py_ssize_t count) noexcept {
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item;
    std::memcpy(&item, at + static_cast<std::size_t>(i) * sizeof item, sizeof item);
    if (item != items[static_cast<std::size_t>(i)].get()) return false;
  }
  return true;
}

// Whether reading `dict` in place gives what PyDict_Next gives, entry for
// entry.
bool reads_as_api(PyObject* dict) noexcept {
  DictEntries entries;
  if (!dict_entries(dict, entries)) return false;
  Py_ssize_t position = 0;
  PyObject *key, *value, *read_key, *read_value;
  while (PyDict_Next(dict, &position, &key, &value)) {
    if (!entries.next(read_key, read_value) || read_key != key || read_value != value) return false;
  }
  return !entries.next(read_key, read_value);
}

// A dict of `count` str keys, the `removed`th of them then removed and one
// more added; NULL with the exception pending.
PyObject* probe_dict(int count, int removed) noexcept {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (int i = 0; i <= count; ++i) {
    Ref key = Ref::steal(PyUnicode_FromFormat("key %d", i));
    Ref value = Ref::steal(PyLong_FromLong(i));
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) return nullptr;
    if (i == removed && PyDict_DelItem(dict.get(), key.get()) != 0) return nullptr;
  }
  return dict.release();
}

constexpr std::size_t header = sizeof(PyVarObject);  // whose size field the limited API shows

// Each finds one reading in place and sets it in `found`, or leaves it unset;
// false with the exception pending when its probes cannot be made.

bool find_items(ObjectLayout& found) noexcept {
  std::array<Ref, probe_items> items;
  for (auto& item : items) {
    item = Ref::steal(PyFloat_FromDouble(0.5));  // distinct objects
    if (!item) return false;
  }
  Ref list = Ref::steal(PyList_New(probe_items));
  Ref tuple = Ref::steal(PyTuple_New(probe_items));
  if (!list || !tuple) return false;
  for (Py_ssize_t i = 0; i < probe_items; ++i) {
    PyObject* item = items[static_cast<std::size_t>(i)].get();
    Py_INCREF(item);
    PyList_SetItem(list.get(), i, item);  // steals the reference
    Py_INCREF(item);
    PyTuple_SetItem(tuple.get(), i, item);
  }
  // A list's pointer to its items follows the header.
  const char* list_array;
  std::memcpy(&list_array, reinterpret_cast<const char*>(list.get()) + header, sizeof list_array);
  if (Py_SIZE(list.get()) == probe_items && list_array != nullptr && holds(list_array, items, probe_items)) {
    found.list_items = header;
  }
  // A tuple's items follow the header, or the cached hash after it: all but
  // the last are compared, so that neither place reads past the tuple.
  const auto* tuple_bytes = reinterpret_cast<const char*>(tuple.get());
  for (const std::size_t offset : {header, header + sizeof(Py_hash_t)}) {
    if (Py_SIZE(tuple.get()) == probe_items && holds(tuple_bytes + offset, items, probe_items - 1)) {
      found.tuple_items = offset;
      break;
    }
  }
  return true;
}

// A float's value follows the object header.
bool find_float(ObjectLayout& found) noexcept {
  Ref real = Ref::steal(PyFloat_FromDouble(-1.25e-7));
  if (!real) return false;
  double value;
  std::memcpy(&value, reinterpret_cast<const char*>(real.get()) + sizeof(PyObject), sizeof value);
  if (value == -1.25e-7) found.float_value = sizeof(PyObject);
  return true;
}

// A compact ASCII str's text follows its fixed fields (the state's four bytes
// padded to eight); a str with any other character is not marked so.
bool find_str(ObjectLayout& found) noexcept {
  constexpr char ascii[] = "object layout probe";
  constexpr Py_ssize_t ascii_length = sizeof ascii - 1;
  Ref ascii_str = Ref::steal(PyUnicode_FromStringAndSize(ascii, ascii_length));
  Ref latin1_str = Ref::steal(PyUnicode_FromString("caf\xc3\xa9"));
  Ref ucs2_str = Ref::steal(PyUnicode_FromString("\xe4\xb8\xad\xe6\x96\x87"));
  if (!ascii_str || !latin1_str || !ucs2_str) return false;
  const auto marked_ascii = [](const Ref& text) {
    const auto state = static_cast<unsigned char>(reinterpret_cast<const char*>(text.get())[str_state_offset]);
    return (state & str_compact_ascii) == str_compact_ascii;
  };
  const auto* ascii_bytes = reinterpret_cast<const char*>(ascii_str.get());
  Py_ssize_t length;
  std::memcpy(&length, ascii_bytes + str_length_offset, sizeof length);
  if (marked_ascii(ascii_str) && !marked_ascii(latin1_str) && !marked_ascii(ucs2_str) && length == ascii_length &&
      std::memcmp(ascii_bytes + str_ascii_text_offset, ascii, sizeof ascii) == 0) {
    found.str_text = str_ascii_text_offset;
  }
  // The characters of a str of each width, and its UTF-8 form once CPython
  // has made it.
  Ref ucs4_str = Ref::steal(PyUnicode_FromString("\xf0\x9f\x98\x80\xe4\xb8\xad"));
  if (!ucs4_str) return false;
  found.str_units = str_units_offset;
  const ObjectLayout before = object_layout;
  object_layout = found;
  const struct {
    const Ref& str;
    unsigned kind;
    std::uint32_t units[2];
    const char* utf8;
  } probes[] = {{latin1_str, 1, {'f', 0xE9}, "caf\xc3\xa9"},
                {ucs2_str, 2, {0x4E2D, 0x6587}, "\xe4\xb8\xad\xe6\x96\x87"},
                {ucs4_str, 4, {0x1F600, 0x4E2D}, "\xf0\x9f\x98\x80\xe4\xb8\xad"}};
  for (const auto& probe : probes) {
    StrUnits read;
    const Py_ssize_t probe_length = PyUnicode_GetLength(probe.str.get());
    bool holds = str_units(probe.str.get(), read) && read.kind == probe.kind && read.utf8 == nullptr &&
                 static_cast<Py_ssize_t>(read.length) == probe_length && probe_length >= 2;
    for (std::size_t i = 0; holds && i < 2; ++i) {
      const std::size_t at = (read.length - 2 + i) * read.kind;
      std::uint32_t unit = 0;
      std::memcpy(&unit, static_cast<const char*>(read.units) + at, read.kind);
      holds = unit == probe.units[i];
    }
    if (holds) {
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(probe.str.get(), &size);
      if (utf8 == nullptr) {
        object_layout = before;
        return false;
      }
      holds = str_units(probe.str.get(), read) && read.utf8 == utf8 && read.utf8_length == static_cast<std::size_t>(size) &&
              std::strcmp(utf8, probe.utf8) == 0;
    }
    if (!holds) found.str_units = 0;
  }
  object_layout = before;
  return true;
}

// An int's digits follow its tag: values of up to two digits read back as
// themselves, and 2^60, of three, is left to the API. Checked by reading
// with the layout found so far.
bool find_int(ObjectLayout& found) noexcept {
  found.int_digits = int_tag_offset + sizeof(std::uintptr_t);
  object_layout = found;
  for (const long long v : {0LL, 1LL, -1LL, 1000LL, -123456789LL, (1LL << 30) - 1, 1LL << 30, -(1LL << 30) - 7,
                            (1LL << 60) - 1, -((1LL << 60) - 1), 1LL << 60}) {
    Ref number = Ref::steal(PyLong_FromLongLong(v));
    if (!number) return false;
    long long read = 0;
    const bool taken = int_value(number.get(), read);
    if (taken != (v < (1LL << 60)) || (taken && read != v)) found.int_digits = 0;
  }
  return true;
}

// A dict's entries in its table, checked, by reading with the layout found
// so far, against PyDict_Next on a small dict and on one whose hash index
// takes two bytes an entry, each with a removed entry, and on an empty dict;
// a dict with a key that is not a str must be left to the API.
bool find_dict(ObjectLayout& found) noexcept {
  found.dict_entries = true;
  object_layout = found;
  Ref small = Ref::steal(probe_dict(10, 3));
  Ref large = Ref::steal(probe_dict(400, 200));
  Ref empty = Ref::steal(PyDict_New());
  Ref other_keyed = Ref::steal(PyDict_New());
  if (!small || !large || !empty || !other_keyed || PyDict_SetItem(other_keyed.get(), Py_None, Py_None) != 0) {
    return false;
  }
  DictEntries unused;
  if (!reads_as_api(small.get()) || !reads_as_api(large.get()) || !reads_as_api(empty.get()) ||
      dict_entries(other_keyed.get(), unused)) {
    found.dict_entries = false;
  }
  return true;
}

}  // namespace

bool find_object_layout() noexcept {
  if (!layout_version_known()) return true;  // the API throughout
  ObjectLayout found;
  const bool made = find_items(found) && find_float(found) && find_str(found) && find_int(found) && find_dict(found);
  // Nothing is read in place unless every check ran.
  object_layout = made ? found : ObjectLayout{};
  return made;
}

}  // namespace sorbek::json
