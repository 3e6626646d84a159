#pragma once
// The one place that includes Python.h. The build defines Py_LIMITED_API, so
// only the stable ABI of CPython 3.12 is visible to the rest of the code.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if !defined(Py_LIMITED_API) || Py_LIMITED_API + 0 < 0x030C0000
#error "sorbek_accel must be built against the limited API of CPython 3.12"
#endif
