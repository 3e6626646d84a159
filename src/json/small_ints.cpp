#include "json/small_ints.hpp"

#include "module/process_object.hpp"

namespace sorbek::json {

SmallIntRange small_int_range;

namespace {

// A tuple of the objects, which keeps them alive for the life of the process.
ProcessObject kept;

// The range they span, if they lie one after another at a power-of-two
// distance; otherwise an empty one.
SmallIntRange range_of(PyObject* objects) noexcept {
  const auto first = reinterpret_cast<std::uintptr_t>(PyTuple_GetItem(objects, 0));
  const auto step = reinterpret_cast<std::uintptr_t>(PyTuple_GetItem(objects, 1)) - first;
  if (step == 0 || (step & (step - 1)) != 0) return {};
  for (Py_ssize_t i = 0; i < small_int_count; ++i) {
    if (reinterpret_cast<std::uintptr_t>(PyTuple_GetItem(objects, i)) != first + static_cast<std::uintptr_t>(i) * step) {
      return {};
    }
  }
  return {first, static_cast<std::uintptr_t>(small_int_count) * step, static_cast<unsigned>(__builtin_ctzll(step))};
}

}  // namespace

bool make_small_ints() noexcept {
  return kept.ensure([]() -> PyObject* {
    PyObject* objects = PyTuple_New(small_int_count);
    if (objects == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < small_int_count; ++i) {
      PyObject* value = PyLong_FromLong(small_int_lowest + static_cast<long>(i));
      if (value == nullptr) {
        Py_DECREF(objects);
        return nullptr;
      }
      PyTuple_SetItem(objects, i, value);  // steals the reference
    }
    small_int_range = range_of(objects);
    return objects;
  });
}

}  // namespace sorbek::json
