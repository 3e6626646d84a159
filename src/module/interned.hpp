#pragma once
// Attribute and method names interned once per process.

#include "module/python.hpp"

namespace sorbek::interned {

PyObject* name();      // "__name__"
PyObject* all();       // "__all__"
PyObject* add_note();  // "add_note"

}  // namespace sorbek::interned
