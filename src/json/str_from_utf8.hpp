#pragma once
// A str from valid UTF-8, made the fastest way its widest character allows.
// CPython decodes UTF-8 that holds non-ASCII characters a character at a
// time, but Latin-1 and UTF-16 at memory speed.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>

#include "json/transcode.hpp"
#include "module/python.hpp"

namespace sorbek::json {

// A new reference, or NULL with the interpreter's exception set. May rewrite
// the text; throws std::bad_alloc when a native buffer cannot be had.
inline PyObject* str_from_utf8(char* data, std::size_t size) {
  switch (transcode::width_of_max_byte(transcode::max_byte(data, size))) {
    case transcode::Width::latin1:
      // Every character fits a byte: rewritten in place as Latin-1.
      return PyUnicode_DecodeLatin1(data, static_cast<Py_ssize_t>(transcode::Best::to_latin1(data, size)), nullptr);
    case transcode::Width::bmp: {
      auto* units = static_cast<std::uint16_t*>(PyMem_Malloc(size * sizeof(std::uint16_t)));
      if (units == nullptr) throw std::bad_alloc();
      const std::size_t count = transcode::Best::to_utf16(data, size, units);
      int order = std::endian::native == std::endian::little ? -1 : 1;
      PyObject* str = PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(units),
                                            static_cast<Py_ssize_t>(count * sizeof(std::uint16_t)), nullptr, &order);
      PyMem_Free(units);
      return str;
    }
    case transcode::Width::ascii:
    case transcode::Width::astral:
      break;
  }
  return PyUnicode_FromStringAndSize(data, static_cast<Py_ssize_t>(size));
}

}  // namespace sorbek::json
