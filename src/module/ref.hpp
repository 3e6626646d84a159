#pragma once
// An owned reference to a Python object, released exactly once.

#include <utility>

#include "module/python.hpp"

namespace sorbek {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref moved(std::move(other));
    std::swap(object_, moved.object_);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  // Takes over a new reference (which may be NULL).
  static Ref steal(PyObject* object) noexcept {
    Ref ref;
    ref.object_ = object;
    return ref;
  }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return steal(object);
  }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace sorbek
