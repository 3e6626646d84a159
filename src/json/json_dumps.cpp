// json_dumps(value): compact JSON text of a tree of plain values, as a str.

#include <string_view>

#include "json/output_buffer.hpp"
#include "json/result_str.hpp"
#include "json/write_value.hpp"
#include "module/arguments.hpp"
#include "module/functions.hpp"
#include "module/trampoline.hpp"

namespace sorbek {

namespace {

constexpr std::string_view parameters[] = {"value"};
const FunctionDescription description{"json_dumps", parameters, {}, std::nullopt, 0, 1};

Result<Ref> json_dumps(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1] = {nullptr};
  if (auto bound = extract_arguments_fastcall(description, args, nargs, kwnames, slots); !bound) {
    return std::move(bound.error());
  }
  json::OutputBuffer out;
  if (auto written = json::write_value(out, slots[0]); !written) return std::move(written.error());
  return json::result_str(out);
}

PyObject* json_dumps_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_trampoline([&] { return json_dumps(args, nargs, kwnames); });
}

}  // namespace

PyMethodDef json_dumps_method = {
    "json_dumps",
    as_method<&json_dumps_entry>(),
    function_flags,
    "json_dumps(value)\n"
    "--\n"
    "\n"
    "Compact JSON matching `json.dumps(x, ensure_ascii=False, separators=(\",\", \":\"))`\n"
    "for None / bool / str / int(i64) / finite float / list / tuple / str-keyed dict.",
};

}  // namespace sorbek
