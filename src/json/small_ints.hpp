#pragma once
// The int objects that the interpreter shares for the values -5 to 256,
// found by their addresses: a small int written as a dict value or a list
// item (counts, flags, statuses, small ids: most integers of most
// responses) then costs no call to read its value.
//
// They are one array of equal objects in every CPython this module loads
// in; the module checks that layout once, when it is loaded, and keeps a
// reference to each of the 262 objects for the life of the process, so that
// no other object can ever have one of their addresses. Where the layout
// differs, no object is found here and every int is read through the API.

#include <cstdint>

#include "module/python.hpp"

namespace sorbek::json {

// The values whose objects the interpreter shares: -5 to 256.
inline constexpr long small_int_lowest = -5;
inline constexpr Py_ssize_t small_int_count = 262;

struct SmallIntRange {
  std::uintptr_t first = 0;  // the address of the object for small_int_lowest
  std::uintptr_t size = 0;   // 262 objects' worth of bytes; 0 where not found
  unsigned shift = 0;        // log2 of the distance from one object to the next
};

// Set once, by make_small_ints (hidden, so that it is read straight, not
// through the symbol table).
[[gnu::visibility("hidden")]] extern SmallIntRange small_int_range;

// Finds the shared small ints and keeps them; false with the exception
// pending. Run by the module's execution step.
bool make_small_ints() noexcept;

// Whether `object` is one of the shared small ints, and then its value.
inline bool small_int_value(PyObject* object, long long& value) noexcept {
  const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(object) - small_int_range.first;
  if (offset >= small_int_range.size) return false;
  value = static_cast<long long>(offset >> small_int_range.shift) + small_int_lowest;
  return true;
}

}  // namespace sorbek::json
