#pragma once
// The recursive JSON value writer behind json_dumps.

#include "json/output_buffer.hpp"
#include "module/error.hpp"

namespace sorbek::json {

// Appends the JSON text of `value` (None, bool, str, int in the signed 64-bit
// range, float in the accepted range, list, tuple, str-keyed dict, and their
// subclasses, nested to any depth the interpreter's recursion limit admits).
// Any other value ends the call with a TypeError; the buffer then holds a
// partial text that must be discarded.
Result<> write_value(OutputBuffer& out, PyObject* value);

}  // namespace sorbek::json
