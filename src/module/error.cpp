#include "module/error.hpp"

#include <cstdio>

#include "module/panic.hpp"

namespace sorbek {

namespace {

std::string cast_failure_message(PyObject* object, const char* expected_type) {
  if (object == Py_None) return std::string("'None' is not an instance of '") + expected_type + "'";
  Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
  std::optional<std::string> name = qualname ? utf8_text(qualname.get()) : std::nullopt;
  if (!name) PyErr_Clear();
  const std::string type_name = name.value_or("<failed to extract type name>");
  return "'" + type_name + "' object is not an instance of '" + expected_type + "'";
}

void raise_deferred(PyObject* type, std::string_view message) {
  Ref value = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!value) return;  // MemoryError is pending instead
  const bool is_exception_type = (PyType_GetFlags(Py_TYPE(type)) & Py_TPFLAGS_TYPE_SUBCLASS) != 0 &&
                                 (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(type)) & Py_TPFLAGS_BASE_EXC_SUBCLASS) != 0;
  if (is_exception_type) {
    PyErr_SetObject(type, value.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
}

}  // namespace

void CallError::raise() && {
  if (auto* deferred = std::get_if<Deferred>(&state_)) {
    raise_deferred(deferred->type, deferred->message);
  } else if (auto* cast = std::get_if<CastFailure>(&state_)) {
    raise_deferred(PyExc_TypeError, cast_failure_message(cast->object.get(), cast->expected_type));
  } else {
    PyErr_SetRaisedException(std::get<Ref>(state_).release());
  }
}

PyObject* CallError::materialise() {
  if (auto* exception = std::get_if<Ref>(&state_)) return exception->get();
  std::move(*this).raise();
  Ref exception = Ref::steal(PyErr_GetRaisedException());
  if (!exception) panic("call error could not be materialised");
  state_ = std::move(exception);
  return std::get<Ref>(state_).get();
}

void panic(std::string text) { throw Fault(std::move(text)); }

std::optional<std::string> utf8_text(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<std::string> str_text(PyObject* object) {
  Ref str = Ref::steal(PyObject_Str(object));
  return str ? utf8_text(str.get()) : std::nullopt;
}

CallError take_pending() {
  Ref exception = Ref::steal(PyErr_GetRaisedException());
  if (!exception) return CallError::deferred(PyExc_SystemError, "attempted to fetch exception but none was set");
  // Before the type is made (within the first execution step) nothing can be an instance of it.
  PyObject* panic_type = panic_exception_type();
  if (panic_type == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) != panic_type) {
    return CallError::materialised(std::move(exception));
  }
  // A fault that went out into Python and came back stays a fault.
  std::optional<std::string> described = str_text(exception.get());
  if (!described) PyErr_Clear();
  std::string text = described.value_or("Unwrapped panic from Python code");
  std::fputs("sorbek_accel: resuming a native fault after PanicException was fetched from Python\n", stderr);
  std::fputs("Python stack trace below:\n", stderr);
  PyErr_SetRaisedException(exception.release());
  PyErr_PrintEx(0);
  throw Fault(std::move(text));
}

void report_null_and_panic() {
  if (PyObject* pending = PyErr_GetRaisedException()) {
    PyErr_SetRaisedException(pending);
    PyErr_WriteUnraisable(nullptr);
  }
  throw Fault("PyObject pointer is null");
}

}  // namespace sorbek
