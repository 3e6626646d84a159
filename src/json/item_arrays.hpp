#pragma once
// The item arrays of lists and tuples, read in place: a list of scalars
// (coordinates, flags, ids) then costs no call per item to fetch it, where
// PyList_GetItem and PyTuple_GetItem are out-of-line calls under the limited
// API (on a list of literals, a third of the time).
//
// Where each object keeps its items is not part of the limited API, so the
// module reads them in place only in the CPython versions whose layout it
// knows (3.12 to 3.14: a list's pointer to its items after the variable-size
// header; a tuple's items after it, or after the cached hash from 3.14 on),
// and only after checking, when it is loaded, that a list and a tuple it
// made hold their items where that layout says. Elsewhere, every item is
// fetched through the API.

#include <cstddef>

#include "module/python.hpp"

namespace sorbek::json {

struct ItemArrays {
  std::size_t list_items = 0;   // offset of a list's pointer to its items; 0 where not known
  std::size_t tuple_items = 0;  // offset of a tuple's first item; 0 where not known
};

// Set once, by find_item_arrays (hidden, so that it is read straight, not
// through the symbol table).
[[gnu::visibility("hidden")]] extern ItemArrays item_arrays;

// Checks the layout; false with the exception pending when the objects to
// check it with cannot be made. Run by the module's execution step.
bool find_item_arrays() noexcept;

// The items of a list or tuple (or of a subclass's instance, which begins
// with the same fields), or NULL where they are fetched through the API.
inline PyObject* const* list_items(PyObject* list) noexcept {
  if (item_arrays.list_items == 0) return nullptr;
  PyObject* const* items;
  __builtin_memcpy(&items, reinterpret_cast<const char*>(list) + item_arrays.list_items, sizeof items);
  return items;
}
inline PyObject* const* tuple_items(PyObject* tuple) noexcept {
  if (item_arrays.tuple_items == 0) return nullptr;
  return reinterpret_cast<PyObject* const*>(reinterpret_cast<const char*>(tuple) + item_arrays.tuple_items);
}

}  // namespace sorbek::json
