#include "json/write_value.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "json/format_number.hpp"
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
// the C stack grow. Each such level enters the interpreter's recursion check
// (its C recursion limit on 3.12 and 3.13, the real stack bounds on 3.14),
// and beyond 64 levels the depth is also kept within the interpreter's
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
    if (++depth_ > checked_below_ && !within_limit()) [[unlikely]] return false;
    if (Py_EnterRecursiveCall(where) == 0) return true;
    --depth_;
    return false;
  }
  void leave() noexcept {
    --depth_;
    Py_LeaveRecursiveCall();
  }

 private:
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

// The writer reports failure as false and keeps the call error, so that the
// hot path passes a flag rather than a result object up every level.
class ValueWriter {
 public:
  explicit ValueWriter(OutputBuffer& out) noexcept : out_(out) {}

  bool value(PyObject* value);
  CallError take_error() { return std::move(*error_); }

 private:
  // The one type dispatch, for the top-level value and every item of a
  // container: exact built-in types inline, subclasses out of line.
  bool item(PyObject* value, RecursionGuard& guard);
  bool subclass(PyObject* value, PyTypeObject* type);
  // Failures leave the hot paths through these, out of line, so that the
  // writers for each kind stay small.
  [[gnu::noinline, gnu::cold]] bool fail(CallError error) {
    error_.emplace(std::move(error));
    return false;
  }
  [[gnu::noinline, gnu::cold]] bool fail(const char* type_error_message) {
    return fail(CallError::type_error(type_error_message));
  }
  [[gnu::noinline, gnu::cold]] bool fail_pending() { return fail(take_pending()); }

  bool str(PyObject* value);
  bool key(PyObject* key);
  bool integer(PyObject* value);
  bool floating(PyObject* value);
  bool literal(const char* text, std::size_t length) {
    out_.append(text, length);
    return true;
  }
  // Lists and tuples: written alike, read through their own C API.
  template <Py_ssize_t (*Size)(PyObject*), PyObject* (*GetItem)(PyObject*, Py_ssize_t)>
  bool array(PyObject* sequence);
  bool list(PyObject* list) { return array<PyList_Size, PyList_GetItem>(list); }
  bool tuple(PyObject* tuple) { return array<PyTuple_Size, PyTuple_GetItem>(tuple); }
  bool dict(PyObject* dict);

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
  static constexpr std::size_t key_slots = 32;
  static constexpr std::size_t cached_key_limit = 64;
  static std::size_t key_slot(PyObject* key) noexcept {
    const auto bits = reinterpret_cast<std::uintptr_t>(key);
    return ((bits >> 4) ^ (bits >> 9)) & (key_slots - 1);
  }

  OutputBuffer& out_;
  Depth depth_;
  std::optional<CallError> error_;
  KeyEntry keys_[key_slots] = {};
};

bool ValueWriter::str(PyObject* value) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return fail_pending();
  write_json_string(out_, utf8, static_cast<std::size_t>(size));
  return true;
}

bool ValueWriter::key(PyObject* key) {
  KeyEntry& entry = keys_[key_slot(key)];
  if (entry.key == key) {
    out_.reserve(entry.length);
    out_.repeat_unchecked(entry.offset, entry.length);
    return true;
  }
  if (!is_str(key)) return fail(key_not_str);
  const std::size_t start = out_.size();
  if (!str(key)) return false;
  out_.put(':');
  const std::size_t length = out_.size() - start;
  if (length <= cached_key_limit && start <= UINT32_MAX) {
    entry = {key, static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(length)};
  }
  return true;
}

bool ValueWriter::integer(PyObject* value) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow != 0) return fail(int_out_of_range);
  if (v == -1 && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    return fail(int_out_of_range);
  }
  out_.reserve(int_chars);
  out_.advance_to(write_int64(v, out_.cursor()));
  return true;
}

bool ValueWriter::floating(PyObject* value) {
  const double x = PyFloat_AsDouble(value);
  if (x == -1.0 && PyErr_Occurred() != nullptr) return fail_pending();
  if (!float_in_range(x)) return fail(float_out_of_range);
  out_.reserve(float_chars);
  out_.advance_to(write_float(x, out_.cursor()));
  return true;
}

// Exact built-in types by identity first: the same outcome as the flag tests
// of subclass(), whose bits are disjoint for them, without the out-of-line
// flag lookup. Anything but an exact scalar may be a container, and enters
// one level of the holding container's depth first.
[[gnu::always_inline]] inline bool ValueWriter::item(PyObject* value, RecursionGuard& guard) {
  PyTypeObject* type = Py_TYPE(value);
  if (type == &PyUnicode_Type) return str(value);
  if (type == &PyLong_Type) return integer(value);
  if (type == &PyFloat_Type) return floating(value);
  if (value == Py_None) return literal("null", 4);
  if (type == &PyBool_Type) return value == Py_True ? literal("true", 4) : literal("false", 5);
  if (!guard.enter()) return fail_pending();
  if (type == &PyDict_Type) return dict(value);
  if (type == &PyList_Type) return list(value);
  if (type == &PyTuple_Type) return tuple(value);
  return subclass(value, type);
}

// Subclasses, by kind in order: str, int, float, list, tuple, dict.
bool ValueWriter::subclass(PyObject* value, PyTypeObject* type) {
  const unsigned long flags = PyType_GetFlags(type);
  if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) return str(value);
  if (flags & Py_TPFLAGS_LONG_SUBCLASS) return integer(value);
  if (PyType_IsSubtype(type, &PyFloat_Type)) return floating(value);
  if (flags & Py_TPFLAGS_LIST_SUBCLASS) return list(value);
  if (flags & Py_TPFLAGS_TUPLE_SUBCLASS) return tuple(value);
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) return dict(value);
  return fail(unsupported_type);
}


// Lists, tuples and dicts are read with one size each: no Python code runs
// while the tree is written (see above), so none can change meanwhile.
template <Py_ssize_t (*Size)(PyObject*), PyObject* (*GetItem)(PyObject*, Py_ssize_t)>
bool ValueWriter::array(PyObject* sequence) {
  RecursionGuard guard(depth_);
  out_.put('[');
  const Py_ssize_t size = Size(sequence);
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (i > 0) out_.put(',');
    if (!item(GetItem(sequence, i), guard)) return false;
  }
  out_.put(']');
  return true;
}

bool ValueWriter::dict(PyObject* dict) {
  RecursionGuard guard(depth_);
  out_.put('{');
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  bool first = true;
  while (PyDict_Next(dict, &position, &key, &value)) {
    if (!first) out_.put(',');
    first = false;
    if (!this->key(key) || !item(value, guard)) return false;
  }
  out_.put('}');
  return true;
}

bool ValueWriter::value(PyObject* value) {
  RecursionGuard top(depth_, RecursionGuard::TopLevel{});
  return item(value, top);
}

}  // namespace

Result<> write_value(OutputBuffer& out, PyObject* value) {
  ValueWriter writer(out);
  if (writer.value(value)) return {};
  return writer.take_error();
}

}  // namespace sorbek::json
