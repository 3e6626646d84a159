#pragma once
// The fault exception type, PanicException: a direct subclass of
// BaseException, so that `except Exception` does not swallow a fault.

#include <string_view>

#include "module/python.hpp"

namespace sorbek {

// Makes the process-wide type unless it exists; false with the
// interpreter's exception pending when it cannot be made.
bool make_panic_exception_type() noexcept;

// The type (borrowed), or NULL if no execution step has made it yet. An
// exception cannot be an instance of a type that does not exist, so error
// paths compare with this and never make the type.
PyObject* panic_exception_type() noexcept;

// Raises PanicException(text). Never throws: when the type or the message
// cannot be had, the interpreter's own exception (MemoryError,
// RecursionError) is left pending instead.
void raise_panic(std::string_view text) noexcept;

}  // namespace sorbek
