#pragma once
// The fault exception type, PanicException: a direct subclass of
// BaseException, so that `except Exception` does not swallow a fault.

#include <string_view>

#include "module/python.hpp"

namespace sorbek {

// The process-wide PanicException type (borrowed), created on first use.
// Throws a Fault if the type cannot be created.
PyObject* panic_exception_type();

// Raises PanicException(text) as the interpreter's exception.
void raise_panic(std::string_view text);

}  // namespace sorbek
