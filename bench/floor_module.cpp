// sorbek_floor: a benchmark-only extension that measures what any encoder
// confined to the stable ABI must spend on a tree: the same calls json_dumps
// makes to read every value (list and tuple sizes and items, dict entries,
// the UTF-8 of every str, int and float values), writing nothing, and then
// making the str of the finished text the fastest way json_dumps knows.
//
//   floor(value, text) -> str: walks value, then makes a str of the UTF-8 bytes text.

#include <cstring>
#include <new>

#include "json/str_from_utf8.hpp"

namespace {

bool walk(PyObject* value);

bool walk_str(PyObject* value) {
  Py_ssize_t size;
  return PyUnicode_AsUTF8AndSize(value, &size) != nullptr;
}
bool walk_int(PyObject* value) {
  const long long v = PyLong_AsLongLong(value);
  return !(v == -1 && PyErr_Occurred());
}
bool walk_float(PyObject* value) {
  const double x = PyFloat_AsDouble(value);
  return !(x == -1.0 && PyErr_Occurred());
}
bool walk_list(PyObject* value) {
  const Py_ssize_t size = PyList_Size(value);
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (!walk(PyList_GetItem(value, i))) return false;
  }
  return true;
}
bool walk_tuple(PyObject* value) {
  const Py_ssize_t size = PyTuple_Size(value);
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (!walk(PyTuple_GetItem(value, i))) return false;
  }
  return true;
}
bool walk_dict(PyObject* value) {
  Py_ssize_t position = 0;
  PyObject *key, *item;
  while (PyDict_Next(value, &position, &key, &item)) {
    if (!walk_str(key) || !walk(item)) return false;
  }
  return true;
}

// Exact types by identity first, as json_dumps tests them; subclasses by flags.
bool walk(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  if (type == &PyUnicode_Type) return walk_str(value);
  if (type == &PyLong_Type) return walk_int(value);
  if (type == &PyFloat_Type) return walk_float(value);
  if (type == &PyDict_Type) return walk_dict(value);
  if (type == &PyList_Type) return walk_list(value);
  if (value == Py_None || type == &PyBool_Type) return true;
  if (type == &PyTuple_Type) return walk_tuple(value);
  const unsigned long flags = PyType_GetFlags(type);
  if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) return walk_str(value);
  if (flags & Py_TPFLAGS_LONG_SUBCLASS) return walk_int(value);
  if (PyType_IsSubtype(type, &PyFloat_Type)) return walk_float(value);
  if (flags & Py_TPFLAGS_LIST_SUBCLASS) return walk_list(value);
  if (flags & Py_TPFLAGS_TUPLE_SUBCLASS) return walk_tuple(value);
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) return walk_dict(value);
  PyErr_SetString(PyExc_TypeError, "unsupported type");
  return false;
}

PyObject* floor(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyBytes_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "floor(value, text: bytes)");
    return nullptr;
  }
  if (!walk(args[0])) return nullptr;
  // The text is copied first because making the str may rewrite it, as
  // json_dumps may rewrite its own buffer.
  const auto size = static_cast<std::size_t>(PyBytes_Size(args[1]));
  char* text = static_cast<char*>(PyMem_Malloc(size + 1));
  if (text == nullptr) return PyErr_NoMemory();
  std::memcpy(text, PyBytes_AsString(args[1]), size);
  PyObject* str = nullptr;
  try {
    str = sorbek::json::str_from_utf8(text, size);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  PyMem_Free(text);
  return str;
}

PyMethodDef methods[] = {
    {"floor", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&floor)), METH_FASTCALL,
     "floor(value, text)\n--\n\nReads value as json_dumps does, then decodes text."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "sorbek_floor", nullptr, 0, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_sorbek_floor(void) { return PyModuleDef_Init(&definition); }
