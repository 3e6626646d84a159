#include "module/interned.hpp"

#include <string_view>

#include "module/error.hpp"
#include "module/once.hpp"

namespace sorbek::interned {

namespace {

PyObject* intern(std::string_view text) {
  PyObject* str = panic_on_null(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))).release();
  PyUnicode_InternInPlace(&str);
  return str;
}

OnceObject name_cache, all_cache, add_note_cache;

}  // namespace

PyObject* name() {
  return name_cache.get([] { return intern("__name__"); });
}
PyObject* all() {
  return all_cache.get([] { return intern("__all__"); });
}
PyObject* add_note() {
  return add_note_cache.get([] { return intern("add_note"); });
}

}  // namespace sorbek::interned
