#pragma once
// The growable byte buffer that one json_dumps call writes into. Its first
// bytes are part of the object itself (on the caller's stack), so that most
// responses, which are small, allocate nothing; beyond them it lives in the
// interpreter's memory (PyMem), so that tracemalloc and allocation hooks see
// it. A failed growth throws std::bad_alloc (MemoryError at the boundary).

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "json/copy_bytes.hpp"
#include "module/python.hpp"

namespace sorbek::json {

class OutputBuffer {
 public:
  static constexpr std::size_t inline_capacity = 2048;

  OutputBuffer() noexcept = default;
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  ~OutputBuffer() { release(); }

  // Makes room for `extra` more bytes; the capacity becomes the larger of
  // what is needed and twice itself, or from 64 KiB on one and a half times
  // itself, which keeps the unused capacity of a large output, held while
  // the result str is made, below half the text.
  void reserve(std::size_t extra) {
    if (capacity_ - size_ < extra) [[unlikely]] grow(extra);
  }
  // Appends without checking capacity: only after reserve().
  void put_unchecked(char c) noexcept { data_[size_++] = c; }
  void append_unchecked(const char* p, std::size_t n) noexcept {
    copy_bytes(data_ + size_, p, n);
    size_ += n;
  }
  void put(char c) {
    reserve(1);
    put_unchecked(c);
  }
  void append(const char* p, std::size_t n) {
    reserve(n);
    append_unchecked(p, n);
  }
  // Where the next bytes go, for writers that format in place after reserve().
  char* cursor() noexcept { return data_ + size_; }
  void advance_to(char* end) noexcept { size_ = static_cast<std::size_t>(end - data_); }
  // Counts `n` bytes written at cursor() as part of the output.
  void advance(std::size_t n) noexcept { size_ += n; }

  // Appends a copy of earlier output, data()[offset, offset + n), after reserve(n).
  void repeat_unchecked(std::size_t offset, std::size_t n) noexcept { append_unchecked(data_ + offset, n); }

  // Frees the storage of a text no longer needed; the buffer is then empty.
  void release() noexcept {
    if (data_ != inline_) PyMem_Free(data_);
    data_ = inline_;
    size_ = 0;
    capacity_ = inline_capacity;
  }

  const char* data() const noexcept { return data_; }
  char* data() noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

 private:
  [[gnu::noinline]] void grow(std::size_t extra) {
    if (extra > static_cast<std::size_t>(PY_SSIZE_T_MAX) - size_) throw std::bad_alloc();
    const std::size_t needed = size_ + extra;
    const std::size_t factor_capacity = capacity_ < 65536 ? 2 * capacity_ : capacity_ + capacity_ / 2;
    const std::size_t capacity = std::max(factor_capacity, needed);
    void* data;
    if (data_ == inline_) {
      data = PyMem_Malloc(capacity);
      if (data != nullptr) std::memcpy(data, inline_, size_);
    } else {
      data = PyMem_Realloc(data_, capacity);
    }
    if (data == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(data);
    capacity_ = capacity;
  }

  char* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = inline_capacity;
  char inline_[inline_capacity];
};

}  // namespace sorbek::json
