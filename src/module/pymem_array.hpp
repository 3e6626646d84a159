#pragma once
// A growable array of trivially copyable items in the interpreter's memory
// (PyMem), so that tracemalloc and allocation hooks see it. Growth failure
// throws std::bad_alloc, which the call boundary raises as MemoryError.

#include <cstddef>
#include <new>
#include <type_traits>

#include "module/python.hpp"

namespace sorbek {

template <class T>
class PyMemArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  PyMemArray() noexcept = default;
  PyMemArray(const PyMemArray&) = delete;
  PyMemArray& operator=(const PyMemArray&) = delete;
  ~PyMemArray() { PyMem_Free(items_); }

  void push_back(const T& item) {
    if (size_ == capacity_) grow();
    items_[size_++] = item;
  }
  std::size_t size() const noexcept { return size_; }
  const T& operator[](std::size_t i) const noexcept { return items_[i]; }
  T& operator[](std::size_t i) noexcept { return items_[i]; }

 private:
  void grow() {
    const std::size_t capacity = capacity_ == 0 ? 16 : 2 * capacity_;
    if (capacity > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) throw std::bad_alloc();
    void* items = PyMem_Realloc(items_, capacity * sizeof(T));
    if (items == nullptr) throw std::bad_alloc();
    items_ = static_cast<T*>(items);
    capacity_ = capacity;
  }

  T* items_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace sorbek
