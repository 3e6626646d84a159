#include "json/object_layout.hpp"

#include <array>
#include <cstring>

#include "module/ref.hpp"

namespace sorbek::json {

ObjectLayout object_layout;

namespace {

constexpr Py_ssize_t probe_items = 8;

// Whether `at` holds the first `count` of the probe's items one after another.
bool holds(const char* at, const std::array<Ref, probe_items>& items, Py_ssize_t count) noexcept {
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item;
    std::memcpy(&item, at + static_cast<std::size_t>(i) * sizeof item, sizeof item);
    if (item != items[static_cast<std::size_t>(i)].get()) return false;
  }
  return true;
}

}  // namespace

bool find_object_layout() noexcept {
  const unsigned long version = Py_Version >> 16;
  if (version < 0x030C || version > 0x030E) return true;  // a layout not known: the API throughout
  std::array<Ref, probe_items> items;
  for (auto& item : items) {
    item = Ref::steal(PyFloat_FromDouble(0.5));  // distinct objects
    if (!item) return false;
  }
  Ref list = Ref::steal(PyList_New(probe_items));
  Ref tuple = Ref::steal(PyTuple_New(probe_items));
  if (!list || !tuple) return false;
  for (Py_ssize_t i = 0; i < probe_items; ++i) {
    PyObject* item = items[static_cast<std::size_t>(i)].get();
    Py_INCREF(item);
    PyList_SetItem(list.get(), i, item);  // steals the reference
    Py_INCREF(item);
    PyTuple_SetItem(tuple.get(), i, item);
  }
  ObjectLayout found;
  // The header is a PyVarObject, whose size field the limited API shows.
  constexpr std::size_t header = sizeof(PyVarObject);
  const auto* list_bytes = reinterpret_cast<const char*>(list.get());
  const char* list_array;
  std::memcpy(&list_array, list_bytes + header, sizeof list_array);
  if (Py_SIZE(list.get()) == probe_items && list_array != nullptr && holds(list_array, items, probe_items)) {
    found.list_items = header;
  }
  // The tuple's items follow its header, or the cached hash after it: all
  // but the last are compared, so that neither place reads past the tuple.
  const auto* tuple_bytes = reinterpret_cast<const char*>(tuple.get());
  for (const std::size_t offset : {header, header + sizeof(Py_hash_t)}) {
    if (Py_SIZE(tuple.get()) == probe_items && holds(tuple_bytes + offset, items, probe_items - 1)) {
      found.tuple_items = offset;
      break;
    }
  }
  // A float's value follows the object header.
  Ref number = Ref::steal(PyFloat_FromDouble(-1.25e-7));
  if (!number) return false;
  double value;
  std::memcpy(&value, reinterpret_cast<const char*>(number.get()) + sizeof(PyObject), sizeof value);
  if (value == -1.25e-7) found.float_value = sizeof(PyObject);
  object_layout = found;
  return true;
}

}  // namespace sorbek::json
