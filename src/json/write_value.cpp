#include "json/write_value.hpp"

#include <cstdint>
#include <cstring>
#include <optional>

#include "json/decimal_digits.hpp"
#include "json/format_number.hpp"
#include "json/integer_text.hpp"
#include "json/object_layout.hpp"
#include "json/small_ints.hpp"
#include "json/write_json_string.hpp"

// Items, keys and values are used as borrowed references. Nothing below runs
// Python code while the tree is read: no method of a value is called, and
// since CPython 3.12 the cyclic collector runs only at the evaluation loop's
// break points. So no container can change or lose an item during a call,
// and skipping the reference-count calls (out-of-line functions under the
// limited API) leaves every observable count the same.

namespace sorbek::json {

namespace {

constexpr const char* unsupported_type = "unsupported type for the accelerator";
constexpr const char* int_out_of_range = "int out of accelerator range";
constexpr const char* float_out_of_range = "float outside accelerator range";
constexpr const char* key_not_str = "dict keys must be str for the accelerator";

// Nesting depth of containers that hold containers, the only ones that make
// the C stack grow. Each such level beyond the 16th enters the interpreter's
// recursion check (its C recursion limit on 3.12 and 3.13, the real stack
// bounds on 3.14). The first 16 levels, all the levels of nearly every
// document, skip it (entering and leaving it took 5% of the instructions on
// records of records): they take about 2.5 KiB of stack, less than the
// interpreters keep in reserve below their limits for C code between
// checks. Beyond 64 levels the depth is also kept within the interpreter's
// recursion limit (1000 by default), as Python code that recursed would be:
// the interpreters' own C limits allow ten thousand levels or more, more than
// a thread with a small stack holds, and on 3.14 a container that contains
// itself would run to the end of the stack before it is refused. Deep or
// self-containing trees thus raise RecursionError alike everywhere. The limit
// is read only once a tree is deeper than 64 levels, so that shallow ones
// (nearly all) pay nothing; a limit set below 64 is not applied to them,
// since so few levels never threaten the stack.
class Depth {
 public:
  // False with RecursionError pending when the limit is reached.
  bool enter() noexcept {
    if (++depth_ <= unguarded_levels) return true;
    if (depth_ > checked_below_ && !within_limit()) [[unlikely]] return false;
    if (Py_EnterRecursiveCall(where) == 0) return true;
    --depth_;
    return false;
  }
  void leave() noexcept {
    if (depth_-- > unguarded_levels) Py_LeaveRecursiveCall();
  }

 private:
  static constexpr int unguarded_levels = 16;
  static constexpr const char* where = " while encoding a JSON object";

  // Whether the new depth is within the interpreter's recursion limit, which
  // no Python code can change while the tree is written; false with
  // RecursionError pending (and the level left) when it is not.
  [[gnu::noinline, gnu::cold]] bool within_limit() noexcept {
    const int limit = Py_GetRecursionLimit();
    if (depth_ <= limit) {
      checked_below_ = limit;
      return true;
    }
    --depth_;
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while encoding a JSON object");
    return false;
  }

  int depth_ = 0;
  int checked_below_ = 64;
};

// One level of Depth for each container that holds a container, entered when
// the first nested container is met: a container of scalars (most of them)
// makes no call at all.
class RecursionGuard {
 public:
  explicit RecursionGuard(Depth& depth) noexcept : depth_(depth) {}
  // The guard of the top-level value, which no container holds: it counts
  // no level.
  struct TopLevel {};
  RecursionGuard(Depth& depth, TopLevel) noexcept : depth_(depth), state_(State::top) {}
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  ~RecursionGuard() {
    if (state_ == State::entered) depth_.leave();
  }
  // False with RecursionError pending when the limit is reached.
  bool enter() noexcept {
    if (state_ != State::open) return true;
    if (!depth_.enter()) return false;
    state_ = State::entered;
    return true;
  }

 private:
  enum class State : unsigned char { open, entered, top };
  Depth& depth_;
  State state_ = State::open;
};

bool is_str(PyObject* object) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  return type == &PyUnicode_Type || (PyType_GetFlags(type) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

// The writer passes the output cursor from call to call by value, so that it
// stays in a register (see OutputBuffer::room), and reports failure as a null
// cursor, keeping the call error, so that the hot path passes a pointer
// rather than a result object up every level.
//
// Every value is written with room for one more byte after it, so that the
// ',' or closing bracket that follows needs no room check of its own: one
// check an item fewer in every container (a list of literals: about 7% of
// the time).
class ValueWriter {
 public:
  explicit ValueWriter(OutputBuffer& out) noexcept : out_(out) {}

  char* value(PyObject* value, char* at);
  CallError take_error() { return std::move(*error_); }

 private:
  // The one type dispatch, for the top-level value and every item of a
  // container: exact built-in types inline, subclasses out of line.
  char* item(PyObject* value, char* at, RecursionGuard& guard);
  char* subclass(PyObject* value, PyTypeObject* type, char* at);
  // Failures leave the hot paths through these, out of line, so that the
  // writers for each kind stay small.
  [[gnu::noinline, gnu::cold]] char* fail(CallError error) {
    error_.emplace(std::move(error));
    return nullptr;
  }
  [[gnu::noinline, gnu::cold]] char* fail(const char* type_error_message) {
    return fail(CallError::type_error(type_error_message));
  }
  [[gnu::noinline, gnu::cold]] char* fail_pending() { return fail(take_pending()); }

  char* str(PyObject* value, char* at);
  char* wide_str(PyObject* value, char* at);
  char* key(PyObject* key, char* at);
  char* new_key(PyObject* key, std::size_t slot, char* at);
  char* integer(PyObject* value, char* at);
  char* floating(PyObject* value, char* at);
  // null, true and false: five bytes of room hold each, and the byte after.
  char* literal(char* at, const char* text, std::size_t length) {
    at = out_.room(at, 6);
    std::memcpy(at, text, 5);
    return at + length;
  }
  // Lists and tuples: written alike, their items read in place
  // (object_layout.hpp) or else through their own C API; a loop for each, so
  // that the first makes no call of its own.
  template <class Items>
  char* array(PyObject* sequence, Items items, char* at);
  template <PyObject* (*GetItem)(PyObject*, Py_ssize_t)>
  struct ItemsThroughApi {
    PyObject* sequence;
    PyObject* operator[](Py_ssize_t i) const noexcept { return GetItem(sequence, i); }
  };
  char* list(PyObject* list, char* at) {
    PyObject* const* items;
    if (list_items(list, items)) [[likely]] return array(list, items, at);
    return array(list, ItemsThroughApi<PyList_GetItem>{list}, at);
  }
  char* tuple(PyObject* tuple, char* at) {
    PyObject* const* items;
    if (tuple_items(tuple, items)) [[likely]] return array(tuple, items, at);
    return array(tuple, ItemsThroughApi<PyTuple_GetItem>{tuple}, at);
  }
  char* dict(PyObject* dict, char* at);
  template <class Entries>
  char* entries(Entries entries, char* at);

  // Recently written dict keys: the key object and where its literal and
  // the ':' after it already stand in the output. Repeated keys (the same
  // field names in every record) are then copied instead of re-encoded and
  // re-scanned. Keyed by object identity, which is sound because no object
  // is freed, and so no address reused, while a call runs.
  struct KeyEntry {
    PyObject* key;
    std::uint32_t offset;
    std::uint32_t length;
  };
  // Enough slots for the field names of several kinds of nested record at
  // once (a post, its author, its attachments: a hundred names or more) with
  // few collisions; with 32, most keys of such documents missed.
  static constexpr int key_slot_bits = 8;
  static constexpr std::size_t key_slots = std::size_t{1} << key_slot_bits;
  static constexpr std::size_t cached_key_limit = 64;
  // Multiplicative hashing: the addresses' low bits are all zero and their
  // middle bits step by the allocator's size class, so the top bits of the
  // product spread them better than any slice of the address.
  static std::size_t key_slot(PyObject* key) noexcept {
    const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key));
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> (64 - key_slot_bits));
  }

  OutputBuffer& out_;
  Depth depth_;
  std::optional<CallError> error_;
  // Only the slots marked in key_used_ hold entries: clearing the marks at
  // each call costs a sixteenth of clearing the entries, which a small
  // payload would feel.
  bool key_used_[key_slots] = {};
  KeyEntry keys_[key_slots];
};

// A str's text is read in place: ASCII as it stands, other characters from
// the UTF-8 form CPython keeps once made, or else, where this CPU has
// vector kernels for it (utf8_from_units.hpp), encoded here, which leaves
// the str without one (fresh strs: CPython's encoder would allocate it and
// encode a character at a time). A str read through the API, or one with
// a surrogate, which UTF-8 cannot hold, is left to CPython's encoder, and
// to its error.
char* ValueWriter::str(PyObject* value, char* at) {
  Py_ssize_t size = 0;
  if (const char* ascii = ascii_text(value, size)) return write_json_string(out_, at, ascii, static_cast<std::size_t>(size));
  return wide_str(value, at);
}

// Out of line, so that the ASCII path keeps its registers (tweet.json took
// 11% longer with this inline).
[[gnu::noinline]] char* ValueWriter::wide_str(PyObject* value, char* at) {
  Py_ssize_t size = 0;
  if (StrUnits units; str_units(value, units)) {
    if (units.utf8 != nullptr) return write_json_string(out_, at, units.utf8, units.utf8_length);
    if (units::best_is_vector) {
      const std::size_t start = out_.offset_of(at);
      if (char* end = write_units_string(out_, at, units)) return end;
      at = out_.data() + start;
    }
  }
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return fail_pending();
  return write_json_string(out_, at, utf8, static_cast<std::size_t>(size));
}

// A key met before, inlined into the dict's loop; others out of line.
[[gnu::always_inline]] inline char* ValueWriter::key(PyObject* key, char* at) {
  const std::size_t slot = key_slot(key);
  const KeyEntry& entry = keys_[slot];
  if (key_used_[slot] && entry.key == key) [[likely]] {
    at = out_.room(at, entry.length);
    return out_.repeat(at, entry.offset, entry.length);
  }
  return new_key(key, slot, at);
}

[[gnu::noinline]] char* ValueWriter::new_key(PyObject* key, std::size_t slot, char* at) {
  KeyEntry& entry = keys_[slot];
  if (!is_str(key)) return fail(key_not_str);
  // As an offset: making room may move the storage.
  const std::size_t start = out_.offset_of(at);
  char* end = str(key, at);
  if (end == nullptr) return nullptr;
  *end++ = ':';
  const std::size_t length = out_.offset_of(end) - start;
  if (length <= cached_key_limit && start <= UINT32_MAX) {
    entry = {key, static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(length)};
    key_used_[slot] = true;
  }
  return end;
}

// Inlined into the containers' loops, digits and all (integer_text.hpp),
// rather than reached through two calls: a document of integer records
// takes about a tenth less time.
[[gnu::always_inline]] inline char* ValueWriter::integer(PyObject* value, char* at) {
  long long v;
  if (!small_int_value(value, v) && !int_value(value, v)) {
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0) return fail(int_out_of_range);
    if (v == -1 && PyErr_Occurred() != nullptr) {
      PyErr_Clear();
      return fail(int_out_of_range);
    }
  }
  return integer_text::write_int64_with<digits::Best>(v, out_.room(at, int_chars));
}

char* ValueWriter::floating(PyObject* value, char* at) {
  const double x = float_value(value);
  if (x == -1.0 && PyErr_Occurred() != nullptr) return fail_pending();
  if (!float_in_range(x)) return fail(float_out_of_range);
  return write_float(x, out_.room(at, float_chars));
}

// Exact built-in types by identity first: the same outcome as the flag tests
// of subclass(), whose bits are disjoint for them, without the out-of-line
// flag lookup. Anything but an exact scalar may be a container, and enters
// one level of the holding container's depth first.
[[gnu::always_inline]] inline char* ValueWriter::item(PyObject* value, char* at, RecursionGuard& guard) {
  PyTypeObject* type = Py_TYPE(value);
  if (type == &PyUnicode_Type) return str(value, at);
  if (type == &PyLong_Type) return integer(value, at);
  if (type == &PyFloat_Type) return floating(value, at);
  if (value == Py_None) return literal(at, "null", 4);
  if (type == &PyBool_Type) return value == Py_True ? literal(at, "true", 4) : literal(at, "false", 5);
  if (!guard.enter()) return fail_pending();
  if (type == &PyDict_Type) return dict(value, at);
  if (type == &PyList_Type) return list(value, at);
  if (type == &PyTuple_Type) return tuple(value, at);
  return subclass(value, type, at);
}

// Subclasses, by kind in order: str, int, float, list, tuple, dict.
char* ValueWriter::subclass(PyObject* value, PyTypeObject* type, char* at) {
  const unsigned long flags = PyType_GetFlags(type);
  if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) return str(value, at);
  if (flags & Py_TPFLAGS_LONG_SUBCLASS) return integer(value, at);
  if (PyType_IsSubtype(type, &PyFloat_Type)) return floating(value, at);
  if (flags & Py_TPFLAGS_LIST_SUBCLASS) return list(value, at);
  if (flags & Py_TPFLAGS_TUPLE_SUBCLASS) return tuple(value, at);
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) return dict(value, at);
  return fail(unsupported_type);
}


// Lists, tuples and dicts are read with one size each: no Python code runs
// while the tree is written (see above), so none can change meanwhile.
// The objects of a large document lie all over memory, and the writer waits
// for each one's type to be loaded before it can do anything with it: the
// value of the dict entry a few places ahead is asked for while the current
// one is written (the API description 0.90 to 0.92 of the time, user reviews
// 0.93). Keys are not: the key cache is looked up by address. List items are
// not either: a list of literals, whose objects are always at hand, took 12%
// longer. Nothing is read past a dict's last entry, and through the API
// nothing is asked for.
inline constexpr std::ptrdiff_t prefetch_distance = 4;
inline void prefetch_value(const DictEntries& entries) noexcept {
  // `entry` is past the entry being written: its value is that many ahead.
  if (entries.end - entries.entry > 2 * (prefetch_distance - 1)) {
    __builtin_prefetch(entries.entry[2 * (prefetch_distance - 1) + 1]);
  }
}
template <class Api>
inline void prefetch_value(const Api&) noexcept {}

template <class Items>
char* ValueWriter::array(PyObject* sequence, Items items, char* at) {
  RecursionGuard guard(depth_);
  at = out_.room(at, 2);
  *at++ = '[';
  const Py_ssize_t size = Py_SIZE(sequence);
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (i > 0) *at++ = ',';
    at = item(items[i], at, guard);
    if (at == nullptr) return nullptr;
  }
  *at++ = ']';
  return out_.room(at, 1);
}

// A dict's entries in place (object_layout.hpp) or else through
// PyDict_Next; a loop for each, so that the first makes no call of its own.
struct EntriesThroughApi {
  PyObject* dict;
  Py_ssize_t position = 0;
  bool next(PyObject*& key, PyObject*& value) noexcept { return PyDict_Next(dict, &position, &key, &value) != 0; }
};

char* ValueWriter::dict(PyObject* dict, char* at) {
  DictEntries entries;
  if (dict_entries(dict, entries)) [[likely]] return this->entries(entries, at);
  return this->entries(EntriesThroughApi{dict}, at);
}

template <class Entries>
char* ValueWriter::entries(Entries entries, char* at) {
  RecursionGuard guard(depth_);
  at = out_.room(at, 2);
  *at++ = '{';
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  bool first = true;
  while (entries.next(key, value)) {
    if (!first) *at++ = ',';
    first = false;
    prefetch_value(entries);
    at = this->key(key, at);
    if (at == nullptr) return nullptr;
    at = item(value, at, guard);
    if (at == nullptr) return nullptr;
  }
  *at++ = '}';
  return out_.room(at, 1);
}

char* ValueWriter::value(PyObject* value, char* at) {
  RecursionGuard top(depth_, RecursionGuard::TopLevel{});
  return item(value, at, top);
}

}  // namespace

Result<> write_value(OutputBuffer& out, PyObject* value) {
  ValueWriter writer(out);
  char* end = writer.value(value, out.start_cursor());
  if (end == nullptr) return writer.take_error();
  out.finish(end);
  return {};
}

}  // namespace sorbek::json
