#include "module/interned.hpp"

#include <string_view>

#include "module/error.hpp"
#include "module/process_object.hpp"

namespace sorbek::interned {

namespace {

ProcessObject name_object, all_object, add_note_object;

bool intern(ProcessObject& object, std::string_view text) noexcept {
  return object.ensure([text] {
    PyObject* str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (str != nullptr) PyUnicode_InternInPlace(&str);
    return str;
  });
}

// Every call runs after a successful execution step, which made the names.
PyObject* made(const ProcessObject& object) {
  PyObject* str = object.get();
  if (str == nullptr) [[unlikely]] panic("interned name used before the module was initialised");
  return str;
}

}  // namespace

bool make_all() noexcept {
  return intern(name_object, "__name__") && intern(all_object, "__all__") && intern(add_note_object, "add_note");
}

PyObject* name() { return made(name_object); }
PyObject* all() { return made(all_object); }
PyObject* add_note() { return made(add_note_object); }

}  // namespace sorbek::interned
