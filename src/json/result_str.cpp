#include "json/result_str.hpp"

#include "json/str_from_utf8.hpp"
#include "module/error.hpp"

namespace sorbek::json {

Ref result_str(OutputBuffer& out) {
  out.shrink_to_fit();
  return panic_on_null(str_from_utf8(out.data(), out.size(), [&] { out.discard(); }));
}

}  // namespace sorbek::json
