#include "module/arguments.hpp"

#include <cstring>
#include <new>
#include <vector>

#include "module/interned.hpp"

namespace sorbek {

namespace {

bool same_text(std::string_view name, const char* text, Py_ssize_t size) noexcept {
  return name.size() == static_cast<std::size_t>(size) && std::memcmp(name.data(), text, name.size()) == 0;
}

// Drops the pending exception; memory exhaustion ends the call as MemoryError
// rather than producing a message with a stand-in.
void drop_pending() {
  const bool no_memory = PyErr_ExceptionMatches(PyExc_MemoryError) != 0;
  PyErr_Clear();
  if (no_memory) throw std::bad_alloc();
}

// The UTF-8 text of str(keyword). Text that UTF-8 cannot encode (a lone
// surrogate) is encoded with "surrogatepass" and decoded leniently, giving one
// U+FFFD per maximal ill-formed subsequence.
std::string keyword_text(PyObject* keyword) {
  Ref str = Ref::steal(PyObject_Str(keyword));
  if (!str) {
    drop_pending();
    return "<unprintable keyword>";
  }
  if (std::optional<std::string> text = utf8_text(str.get())) return *text;
  drop_pending();
  Ref raw = Ref::steal(PyUnicode_AsEncodedString(str.get(), "utf-8", "surrogatepass"));
  Ref lenient = raw ? Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AsString(raw.get()), PyBytes_Size(raw.get()), "replace"))
                    : Ref();
  std::optional<std::string> text = lenient ? utf8_text(lenient.get()) : std::nullopt;
  if (!text) drop_pending();
  return text.value_or("<unprintable keyword>");
}

std::string count_message(const FunctionDescription& d, std::size_t n, const char* kind,
                          std::span<const std::string_view> names) {
  std::string message = d.display_name() + " missing " + std::to_string(n) + " required " + kind + " " +
                        (n == 1 ? "argument" : "arguments") + ": ";
  push_parameter_list(message, names);
  return message;
}

CallError too_many_positional(const FunctionDescription& d, Py_ssize_t nargs) {
  const std::size_t p = d.positional_parameter_names.size();
  std::string message = d.display_name();
  if (d.required_positional_parameters == p) {
    message += " takes " + std::to_string(p);
  } else {
    message += " takes from " + std::to_string(d.required_positional_parameters) + " to " + std::to_string(p);
  }
  message += " positional arguments but " + std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given";
  return CallError::type_error(std::move(message));
}

CallError multiple_values(const FunctionDescription& d, const char* text, Py_ssize_t size) {
  return CallError::type_error(d.display_name() + " got multiple values for argument '" +
                               std::string(text, static_cast<std::size_t>(size)) + "'");
}

}  // namespace

std::string FunctionDescription::display_name() const {
  std::string name;
  if (class_name) name.append(*class_name).append(".");
  name.append(function_name).append("()");
  return name;
}

void push_parameter_list(std::string& message, std::span<const std::string_view> names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) message += ",";
      message += " ";
      if (i == names.size() - 1) message += "and ";
    }
    message.append("'").append(names[i]).append("'");
  }
}

Result<> extract_arguments_fastcall(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames, PyObject** slots) {
  const auto& positional = d.positional_parameter_names;
  const auto& keyword_only = d.keyword_only_parameters;
  const std::size_t p = positional.size();
  const auto n = static_cast<std::size_t>(nargs);
  for (std::size_t i = 0; i < n && i < p; ++i) slots[i] = args[i];
  if (n > p) return too_many_positional(d, nargs);

  std::vector<std::string_view> positional_only_given;
  const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GetItem(kwnames, k);
    PyObject* value = args[nargs + k];
    Py_ssize_t size = 0;
    const char* text = keyword != nullptr ? PyUnicode_AsUTF8AndSize(keyword, &size) : nullptr;
    bool matched = false;
    if (text == nullptr) {
      PyErr_Clear();
    } else {
      for (std::size_t j = 0; j < keyword_only.size() && !matched; ++j) {
        if (!same_text(keyword_only[j].name, text, size)) continue;
        if (slots[p + j] != nullptr) return multiple_values(d, text, size);
        slots[p + j] = value;
        matched = true;
      }
      for (std::size_t i = 0; i < p && !matched; ++i) {
        if (!same_text(positional[i], text, size)) continue;
        if (i < d.positional_only_parameters) {
          positional_only_given.push_back(positional[i]);
        } else if (slots[i] != nullptr) {
          return multiple_values(d, text, size);
        } else {
          slots[i] = value;
        }
        matched = true;
      }
    }
    if (!matched) {
      return CallError::type_error(d.display_name() + " got an unexpected keyword argument '" + keyword_text(keyword) + "'");
    }
  }

  if (!positional_only_given.empty()) {
    std::string message = d.display_name() + " got some positional-only arguments passed as keyword arguments: ";
    push_parameter_list(message, positional_only_given);
    return CallError::type_error(std::move(message));
  }

  const std::size_t required = d.required_positional_parameters;
  if (n < required) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < required; ++i) {
      if (slots[i] == nullptr) missing.push_back(positional[i]);
    }
    if (!missing.empty()) return CallError::type_error(count_message(d, missing.size(), "positional", missing));
  }

  std::vector<std::string_view> missing_keywords;
  for (std::size_t j = 0; j < keyword_only.size(); ++j) {
    if (keyword_only[j].required && slots[p + j] == nullptr) missing_keywords.push_back(keyword_only[j].name);
  }
  if (!missing_keywords.empty()) {
    return CallError::type_error(count_message(d, missing_keywords.size(), "keyword", missing_keywords));
  }
  return {};
}

CallError argument_extraction_error(std::string_view name, CallError error) {
  std::string note = "while processing '";
  note.append(name).append("'");
  PyObject* exception = error.materialise();
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  if (!text) {
    PyErr_Clear();
    return error;
  }
  // The spare leading slot lets the callee use PY_VECTORCALL_ARGUMENTS_OFFSET.
  PyObject* call_args[3] = {nullptr, exception, text.get()};
  Ref outcome = Ref::steal(PyObject_VectorcallMethod(interned::add_note(), call_args + 1,
                                                     2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!outcome) PyErr_Clear();
  return error;
}

Result<std::string_view> extract_bytes(PyObject* object, std::string_view parameter) {
  if ((PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_BYTES_SUBCLASS) == 0) {
    return argument_extraction_error(parameter, CallError::cast_failure(object, "bytes"));
  }
  const char* data = PyBytes_AsString(object);
  if (data == nullptr) return take_pending();
  return std::string_view(data, static_cast<std::size_t>(PyBytes_Size(object)));
}

}  // namespace sorbek
