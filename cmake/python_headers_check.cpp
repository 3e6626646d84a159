// Compiled into cross builds of the module, which use the build machine's
// CPython headers (no target interpreter is installed). The limited API
// depends on the target only through what pyconfig.h records about it: type
// sizes, alignments and byte order. Each must hold for the target as well.
#include <Python.h>

#include <pthread.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

static_assert(SIZEOF_SHORT == sizeof(short));
static_assert(SIZEOF_INT == sizeof(int));
static_assert(SIZEOF_LONG == sizeof(long));
static_assert(SIZEOF_LONG_LONG == sizeof(long long));
static_assert(SIZEOF_FLOAT == sizeof(float));
static_assert(SIZEOF_DOUBLE == sizeof(double));
static_assert(SIZEOF_LONG_DOUBLE == sizeof(long double));
static_assert(SIZEOF__BOOL == sizeof(bool));
static_assert(SIZEOF_WCHAR_T == sizeof(wchar_t));
static_assert(SIZEOF_VOID_P == sizeof(void*));
static_assert(SIZEOF_SIZE_T == sizeof(std::size_t));
static_assert(SIZEOF_UINTPTR_T == sizeof(std::uintptr_t));
static_assert(SIZEOF_OFF_T == sizeof(off_t));
static_assert(SIZEOF_FPOS_T == sizeof(std::fpos_t));
static_assert(SIZEOF_PID_T == sizeof(pid_t));
static_assert(SIZEOF_TIME_T == sizeof(std::time_t));
static_assert(SIZEOF_PTHREAD_T == sizeof(pthread_t));
static_assert(SIZEOF_PTHREAD_KEY_T == sizeof(pthread_key_t));
static_assert(ALIGNOF_LONG == alignof(long));
static_assert(ALIGNOF_SIZE_T == alignof(std::size_t));
static_assert(ALIGNOF_MAX_ALIGN_T == alignof(std::max_align_t));
static_assert(PY_LITTLE_ENDIAN == (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__));
