#pragma once
// Call errors and internal faults, shared by every function body.
//
// A body returns its result or a CallError; only the call boundary turns a
// CallError into the raised Python exception. An internal fault (a broken
// invariant, or an interpreter call that must not fail) is thrown as a Fault
// and caught only at the boundary, which raises it as PanicException.

#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "module/python.hpp"
#include "module/ref.hpp"

namespace sorbek {

class CallError {
 public:
  // Deferred: the exception is built from `message` only when raised.
  static CallError deferred(PyObject* type, std::string message) {
    return CallError(Deferred{type, std::move(message)});
  }
  static CallError type_error(std::string message) { return deferred(PyExc_TypeError, std::move(message)); }
  // Deferred cast failure: the message names the object's type and is made when raised.
  static CallError cast_failure(PyObject* object, const char* expected_type) {
    return CallError(CastFailure{Ref::borrow(object), expected_type});
  }
  // Materialised: an exception object.
  static CallError materialised(Ref exception) noexcept { return CallError(std::move(exception)); }

  // Sets the interpreter's exception from this error.
  void raise() &&;
  // Turns a deferred error into its exception object and returns it (borrowed from the error).
  PyObject* materialise();

 private:
  struct Deferred {
    PyObject* type;  // a static exception type
    std::string message;
  };
  struct CastFailure {
    Ref object;
    const char* expected_type;
  };
  using State = std::variant<Deferred, CastFailure, Ref>;

  explicit CallError(State state) noexcept : state_(std::move(state)) {}

  State state_;
};

// The success value of an operation that yields nothing.
struct Unit {};

// The result of an operation: a value or a call error.
template <class T = Unit>
class [[nodiscard]] Result {
 public:
  Result() requires std::is_same_v<T, Unit> : state_(Unit{}) {}
  Result(T value) noexcept(std::is_nothrow_move_constructible_v<T>) : state_(std::move(value)) {}
  Result(CallError error) noexcept : state_(std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() noexcept { return *std::get_if<0>(&state_); }
  T& operator*() noexcept { return value(); }
  T* operator->() noexcept { return &value(); }
  CallError& error() noexcept { return *std::get_if<1>(&state_); }

 private:
  std::variant<T, CallError> state_;
};

// An internal fault, travelling to the call boundary.
class Fault : public std::exception {
 public:
  Fault() = default;
  explicit Fault(std::string text) : text_(std::move(text)), has_text_(true) {}
  const char* what() const noexcept override { return has_text_ ? text_.c_str() : "internal fault"; }
  bool has_text() const noexcept { return has_text_; }
  const std::string& text() const noexcept { return text_; }

 private:
  std::string text_;
  bool has_text_ = false;
};

[[noreturn]] void panic(std::string text);

// The UTF-8 text of a str object, or nothing with the interpreter's
// exception pending (a lone surrogate, or no memory).
std::optional<std::string> utf8_text(PyObject* str);
// The UTF-8 text of str(object), or nothing with the exception pending.
std::optional<std::string> str_text(PyObject* object);

// Takes the exception that a failed interpreter call left pending, as a call
// error. A PanicException coming back from Python is resumed as a fault.
CallError take_pending();

// For interpreter calls that create an object and are not expected to fail:
// on NULL the pending exception goes to the unraisable hook and the call
// ends with the fault "PyObject pointer is null".
[[noreturn]] void report_null_and_panic();

inline Ref panic_on_null(PyObject* object) {
  if (object == nullptr) [[unlikely]] report_null_and_panic();
  return Ref::steal(object);
}

}  // namespace sorbek
