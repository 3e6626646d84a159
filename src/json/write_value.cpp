#include "json/write_value.hpp"

#include <algorithm>

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

// One level of the interpreter's recursion limit per container, so that deep
// or self-containing trees raise RecursionError instead of exhausting the stack.
class RecursionGuard {
 public:
  RecursionGuard() noexcept : entered_(Py_EnterRecursiveCall(" while encoding a JSON object") == 0) {}
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  ~RecursionGuard() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  bool entered() const noexcept { return entered_; }

 private:
  bool entered_;
};

bool is_str(PyObject* object) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  return type == &PyUnicode_Type || (PyType_GetFlags(type) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

Result<> write_str(OutputBuffer& out, PyObject* value) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return take_pending();
  write_json_string(out, utf8, static_cast<std::size_t>(size));
  return {};
}

Result<> write_int(OutputBuffer& out, PyObject* value) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow != 0) return CallError::type_error(int_out_of_range);
  if (v == -1 && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    return CallError::type_error(int_out_of_range);
  }
  out.reserve(int_chars);
  out.advance_to(write_int64(v, out.cursor()));
  return {};
}

Result<> write_float(OutputBuffer& out, PyObject* value) {
  const double x = PyFloat_AsDouble(value);
  if (x == -1.0 && PyErr_Occurred() != nullptr) return take_pending();
  if (!float_in_range(x)) return CallError::type_error(float_out_of_range);
  out.reserve(float_chars);
  out.advance_to(json::write_float(x, out.cursor()));
  return {};
}

Result<> write_list(OutputBuffer& out, PyObject* list) {
  const RecursionGuard guard;
  if (!guard.entered()) return take_pending();
  out.put('[');
  const Py_ssize_t start = PyList_Size(list);
  for (Py_ssize_t i = 0; i < std::min(start, PyList_Size(list)); ++i) {
    if (i > 0) out.put(',');
    if (auto written = write_value(out, PyList_GetItem(list, i)); !written) return written;
  }
  out.put(']');
  return {};
}

Result<> write_tuple(OutputBuffer& out, PyObject* tuple) {
  const RecursionGuard guard;
  if (!guard.entered()) return take_pending();
  out.put('[');
  const Py_ssize_t size = PyTuple_Size(tuple);
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (i > 0) out.put(',');
    if (auto written = write_value(out, PyTuple_GetItem(tuple, i)); !written) return written;
  }
  out.put(']');
  return {};
}

Result<> write_dict(OutputBuffer& out, PyObject* dict) {
  const RecursionGuard guard;
  if (!guard.entered()) return take_pending();
  out.put('{');
  const Py_ssize_t start = PyDict_Size(dict);
  Py_ssize_t remaining = start;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (;;) {
    if (PyDict_Size(dict) != start) panic("dictionary changed size during iteration");
    if (remaining == -1) panic("dictionary keys changed during iteration");
    if (!PyDict_Next(dict, &position, &key, &value)) break;
    if (remaining-- != start) out.put(',');
    if (!is_str(key)) return CallError::type_error(key_not_str);
    // The key's cached UTF-8 form is written directly; the dict keeps the key alive.
    if (auto written = write_str(out, key); !written) return written;
    out.put(':');
    if (auto written = write_value(out, value); !written) return written;
  }
  out.put('}');
  return {};
}

}  // namespace

Result<> write_value(OutputBuffer& out, PyObject* value) {
  if (value == Py_None) {
    out.append("null", 4);
    return {};
  }
  PyTypeObject* type = Py_TYPE(value);
  // Exact built-in types first: the same outcome as the flag tests below,
  // whose bits are disjoint for them, without the out-of-line flag lookup.
  if (type == &PyUnicode_Type) return write_str(out, value);
  if (type == &PyLong_Type) return write_int(out, value);
  if (type == &PyFloat_Type) return write_float(out, value);
  if (type == &PyDict_Type) return write_dict(out, value);
  if (type == &PyList_Type) return write_list(out, value);
  if (type == &PyBool_Type) {
    if (value == Py_True) {
      out.append("true", 4);
    } else {
      out.append("false", 5);
    }
    return {};
  }
  if (type == &PyTuple_Type) return write_tuple(out, value);
  // Subclasses, by kind in order: str, int, float, list, tuple, dict.
  const unsigned long flags = PyType_GetFlags(type);
  if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) return write_str(out, value);
  if (flags & Py_TPFLAGS_LONG_SUBCLASS) return write_int(out, value);
  if (PyType_IsSubtype(type, &PyFloat_Type)) return write_float(out, value);
  if (flags & Py_TPFLAGS_LIST_SUBCLASS) return write_list(out, value);
  if (flags & Py_TPFLAGS_TUPLE_SUBCLASS) return write_tuple(out, value);
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) return write_dict(out, value);
  return CallError::type_error(unsupported_type);
}

}  // namespace sorbek::json
