// sorbek_floor: a benchmark-only extension that measures what an encoder
// that reads a tree as json_dumps reads it must spend on it: the same reads
// of every value (list and tuple items, dict entries, the UTF-8 of every
// str, int and float values), in place where json_dumps reads them in place
// and through the stable ABI where it calls it, writing nothing, and then
// making the str of the finished text from the pieces json_dumps makes it
// from, converted beforehand, so that the floor pays nothing json_dumps does
// not pay.
//
//   prepare(text, whole_utf8=False) -> object: the UTF-8 bytes text in those
//     pieces' forms; with whole_utf8, as one UTF-8 text whatever it holds (to
//     compare json_dumps's choice of route with plain UTF-8 decoding).
//   floor(value, prepared) -> str: walks value, then makes the str.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "json/object_layout.hpp"
#include "json/small_ints.hpp"
#include "json/str_from_utf8.hpp"
#include "json/str_pieces.hpp"
#include "json/str_storage.hpp"
#include "module/python.hpp"

namespace {

bool walk(PyObject* value);

using namespace sorbek::json;

bool walk_str(PyObject* value) {
  Py_ssize_t size;
  StrUnits units;
  return ascii_text(value, size) != nullptr || str_units(value, units) ||
         PyUnicode_AsUTF8AndSize(value, &size) != nullptr;
}
bool walk_int(PyObject* value) {
  long long v;
  if (small_int_value(value, v) || int_value(value, v)) return true;
  int overflow = 0;
  v = PyLong_AsLongLongAndOverflow(value, &overflow);
  return !(v == -1 && PyErr_Occurred());
}
bool walk_float(PyObject* value) {
  const double x = float_value(value);
  return !(x == -1.0 && PyErr_Occurred());
}
template <bool (*Items)(PyObject*, PyObject* const*&), PyObject* (*GetItem)(PyObject*, Py_ssize_t)>
bool walk_items(PyObject* value) {
  const Py_ssize_t size = Py_SIZE(value);
  PyObject* const* items;
  if (Items(value, items)) {
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (!walk(items[i])) return false;
    }
    return true;
  }
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (!walk(GetItem(value, i))) return false;
  }
  return true;
}
bool walk_list(PyObject* value) { return walk_items<list_items, PyList_GetItem>(value); }
bool walk_tuple(PyObject* value) { return walk_items<tuple_items, PyTuple_GetItem>(value); }
bool walk_dict(PyObject* value) {
  DictEntries entries;
  PyObject *key, *item;
  if (dict_entries(value, entries)) {
    while (entries.next(key, item)) {
      if (!walk_str(key) || !walk(item)) return false;
    }
    return true;
  }
  Py_ssize_t position = 0;
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

// The text as json_dumps makes its str from it, prepared outside the timed
// calls. ASCII and Latin-1 pieces are kept as the interpreter is handed them
// (json_dumps's in-place rewrite to Latin-1, which moves only the bytes after
// the first non-ASCII character, is left out: it would destroy the text);
// UTF-16 pieces are kept as UTF-8 and recoded on every call into a scratch
// buffer made here, as json_dumps recodes them, since any encoder that reads
// strings through the stable ABI gets their UTF-8; so is text that json_dumps
// writes into its str, which the floor writes likewise.
struct Prepared {
  bool join = false;
  bool in_place = false;  // written into the str as json_dumps writes it, from utf8
  sorbek::json::transcode::TextStats stats{};
  std::vector<std::pair<sorbek::json::PieceForm, std::string>> pieces;  // whole UTF-8: none
  std::string utf8;
  mutable std::vector<std::uint16_t> units;
};

constexpr const char* capsule_name = "sorbek_floor.prepared";

PyObject* str_of(sorbek::json::PieceForm form, const std::string& bytes, std::uint16_t* units) {
  const auto size = static_cast<Py_ssize_t>(bytes.size());
  switch (form) {
    case sorbek::json::PieceForm::ascii: return PyUnicode_DecodeASCII(bytes.data(), size, nullptr);
    case sorbek::json::PieceForm::latin1: return PyUnicode_DecodeLatin1(bytes.data(), size, nullptr);
    case sorbek::json::PieceForm::utf16: {
      const std::size_t count = sorbek::json::transcode::to_utf16(bytes.data(), bytes.size(), units, bytes.size());
      int order = -1;
      return PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(units), static_cast<Py_ssize_t>(2 * count), nullptr,
                                   &order);
    }
  }
  return nullptr;
}

PyObject* prepare_text(PyObject* text, bool whole_utf8) {
  using namespace sorbek::json;
  auto prepared = std::make_unique<Prepared>();
  std::string copy(PyBytes_AsString(text), static_cast<std::size_t>(PyBytes_Size(text)));
  prepared->stats = transcode::stats(copy.data(), copy.size());
  PyObject* probe;
  if (!whole_utf8 && str_in_place(copy.data(), copy.size(), prepared->stats, probe)) {
    if (probe == nullptr) return nullptr;
    Py_DECREF(probe);
    prepared->in_place = true;
    prepared->utf8 = copy;
  }
  std::vector<TextBlock> blocks;
  scan_blocks(copy.data(), copy.size(), blocks);
  auto convert = [&](const Piece& piece) {
    char* begin = copy.data() + piece.begin;
    const std::size_t size = piece.end - piece.begin;
    std::string bytes;
    switch (piece.form) {
      case PieceForm::ascii: bytes.assign(begin, size); break;
      case PieceForm::latin1: bytes.assign(begin, transcode::to_latin1(begin, size, begin)); break;
      case PieceForm::utf16:
        bytes.assign(begin, size);
        prepared->units.resize(std::max(prepared->units.size(), size));
        break;
    }
    prepared->pieces.emplace_back(piece.form, std::move(bytes));
  };
  switch (whole_utf8 || prepared->in_place ? StrRoute::utf8 : choose_route(copy.data(), blocks)) {
    case StrRoute::ascii: convert(Piece{PieceForm::ascii, 0, copy.size()}); break;
    case StrRoute::latin1: convert(Piece{PieceForm::latin1, 0, copy.size()}); break;
    case StrRoute::utf8: prepared->utf8 = copy; break;
    case StrRoute::pieces:
      emit_pieces(blocks, convert);
      prepared->join = prepared->pieces.size() > 1;
      break;
  }
  PyObject* capsule = PyCapsule_New(prepared.get(), capsule_name, [](PyObject* object) {
    delete static_cast<Prepared*>(PyCapsule_GetPointer(object, capsule_name));
  });
  if (capsule != nullptr) prepared.release();
  return capsule;
}

PyObject* prepare(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  int whole_utf8 = 0;
  if (nargs < 1 || nargs > 2 || !PyBytes_Check(args[0]) || (nargs == 2 && (whole_utf8 = PyObject_IsTrue(args[1])) < 0)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "prepare(text: bytes, whole_utf8: bool = False)");
    return nullptr;
  }
  try {
    return prepare_text(args[0], whole_utf8 != 0);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* floor(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyCapsule_IsValid(args[1], capsule_name)) {
    PyErr_SetString(PyExc_TypeError, "floor(value, prepared)");
    return nullptr;
  }
  if (!walk(args[0])) return nullptr;
  const auto* prepared = static_cast<const Prepared*>(PyCapsule_GetPointer(args[1], capsule_name));
  if (PyObject* str; prepared->in_place &&
                     sorbek::json::str_in_place(prepared->utf8.data(), prepared->utf8.size(), prepared->stats, str)) {
    return str;
  }
  if (prepared->pieces.empty()) {
    return PyUnicode_DecodeUTF8(prepared->utf8.data(), static_cast<Py_ssize_t>(prepared->utf8.size()), nullptr);
  }
  std::uint16_t* units = prepared->units.data();
  if (!prepared->join) return str_of(prepared->pieces[0].first, prepared->pieces[0].second, units);
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(prepared->pieces.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < prepared->pieces.size(); ++i) {
    PyObject* piece = str_of(prepared->pieces[i].first, prepared->pieces[i].second, units);
    if (piece == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), piece);
  }
  PyObject* empty = PyUnicode_FromStringAndSize("", 0);
  PyObject* str = empty != nullptr ? PyUnicode_Join(empty, list) : nullptr;
  Py_XDECREF(empty);
  Py_DECREF(list);
  return str;
}

PyMethodDef methods[] = {
    {"prepare", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&prepare)), METH_FASTCALL,
     "prepare(text, whole_utf8=False)\n--\n\nThe UTF-8 text in the forms its str is made from, for floor()."},
    {"floor", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&floor)), METH_FASTCALL,
     "floor(value, prepared)\n--\n\nReads value as json_dumps does, then makes the prepared text's str."},
    {nullptr, nullptr, 0, nullptr},
};

// The layout json_dumps reads in place, found as its module finds it.
int execute(PyObject*) { return find_object_layout() && make_small_ints() && find_str_storage() ? 0 : -1; }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&execute)},
    {0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "sorbek_floor", nullptr, 0, methods,
                          slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_sorbek_floor(void) { return PyModuleDef_Init(&definition); }
