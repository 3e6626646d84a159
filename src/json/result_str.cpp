#include "json/result_str.hpp"

#include <bit>
#include <cstdint>
#include <new>

#include "json/transcode.hpp"
#include "module/error.hpp"

namespace sorbek::json {

Ref result_str(OutputBuffer& out) {
  char* data = out.data();
  const std::size_t size = out.size();
  switch (transcode::width_of_max_byte(transcode::max_byte(data, size))) {
    case transcode::Width::latin1: {
      // Every character fits a byte: decoding Latin-1 is a copy.
      const std::size_t length = transcode::Best::to_latin1(data, size);
      return panic_on_null(PyUnicode_DecodeLatin1(data, static_cast<Py_ssize_t>(length), nullptr));
    }
    case transcode::Width::bmp: {
      // The interpreter reads UTF-16 a word at a time, where it reads UTF-8
      // with non-ASCII characters one character at a time.
      auto* units = static_cast<std::uint16_t*>(PyMem_Malloc(size * sizeof(std::uint16_t)));
      if (units == nullptr) throw std::bad_alloc();
      const std::size_t count = transcode::Best::to_utf16(data, size, units);
      int order = std::endian::native == std::endian::little ? -1 : 1;
      PyObject* str = PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(units),
                                            static_cast<Py_ssize_t>(count * sizeof(std::uint16_t)), nullptr, &order);
      PyMem_Free(units);
      return panic_on_null(str);
    }
    case transcode::Width::ascii:
    case transcode::Width::astral:
      break;
  }
  return panic_on_null(PyUnicode_FromStringAndSize(data, static_cast<Py_ssize_t>(size)));
}

}  // namespace sorbek::json
