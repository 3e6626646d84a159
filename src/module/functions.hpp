#pragma once
// The method records of the module's functions, in registration order.

#include "module/python.hpp"

namespace sorbek {

// METH_FASTCALL | METH_STATIC | METH_KEYWORDS: entry points take
// (self, args, nargs, kwnames) and never read self.
inline constexpr int function_flags = METH_FASTCALL | METH_STATIC | METH_KEYWORDS;
static_assert(function_flags == 0xa2);

extern PyMethodDef json_dumps_method;
extern PyMethodDef multipart_sections_method;

// Entry points have the fast-call-with-keywords form; PyMethodDef stores them
// as a PyCFunction.
template <PyObject* (*Entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
constexpr PyCFunction as_method() noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}

}  // namespace sorbek
