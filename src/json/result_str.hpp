#pragma once
// The str json_dumps returns, made from its finished UTF-8 output.

#include "json/output_buffer.hpp"
#include "module/ref.hpp"

namespace sorbek::json {

// An equal str to a strict UTF-8 decoding of the output (see
// str_from_utf8.hpp); may rewrite or release the buffer. A str the interpreter fails to
// make is an internal fault (panic_on_null).
Ref result_str(OutputBuffer& out);

}  // namespace sorbek::json
