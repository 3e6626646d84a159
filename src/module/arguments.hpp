#pragma once
// Argument binding for the fast calling convention with keyword names, from
// a static description of each function's parameters.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "module/error.hpp"
#include "module/python.hpp"

namespace sorbek {

struct KeywordOnlyParameter {
  std::string_view name;
  bool required;
};

struct FunctionDescription {
  std::string_view function_name;
  std::span<const std::string_view> positional_parameter_names;
  std::span<const KeywordOnlyParameter> keyword_only_parameters;
  std::optional<std::string_view> class_name;
  std::size_t positional_only_parameters;
  std::size_t required_positional_parameters;

  // "name()" or "Class.name()", as argument messages show the function.
  std::string display_name() const;
};

// Fills `slots` (positional parameters, then keyword-only ones) with borrowed
// references to the arguments, leaving absent parameters NULL.
Result<> extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// Appends 'a', 'a' and 'b', or 'a', 'b', and 'c' to `message`.
void push_parameter_list(std::string& message, std::span<const std::string_view> names);

// Adds the note "while processing '<name>'" to the error's exception.
CallError argument_extraction_error(std::string_view name, CallError error);

// Views the bytes of a `bytes` (or subclass) argument in place.
Result<std::string_view> extract_bytes(PyObject* object, std::string_view parameter);

}  // namespace sorbek
