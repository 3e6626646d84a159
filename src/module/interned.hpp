#pragma once
// Attribute and method names interned once per process, by the module's
// execution step (see process_object.hpp).

#include "module/python.hpp"

namespace sorbek::interned {

// Makes every name not made yet; false with the exception pending on failure.
bool make_all() noexcept;

PyObject* name();      // "__name__"
PyObject* all();       // "__all__"
PyObject* add_note();  // "add_note"

}  // namespace sorbek::interned
