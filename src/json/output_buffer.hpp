#pragma once
// The growable byte buffer that one json_dumps call writes into. Its first
// bytes are part of the object itself (on the caller's stack), so that most
// responses, which are small, allocate nothing; beyond them it lives in the
// interpreter's memory (PyMem), so that tracemalloc and allocation hooks see
// it, in the storage of an earlier call where one is kept (KeptStorage). A
// failed growth throws std::bad_alloc (MemoryError at the boundary).
//
// Writers may use what room() reserved and nothing beyond it. The limit it
// enforces steps through the same capacities whatever storage the buffer
// has (kept storage is larger than the limit until the output reaches it),
// so that tests meet every step in every process; under AddressSanitizer
// the storage beyond the limit is poisoned, so that a write past what was
// reserved is reported even where the storage would hold it.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "json/asan_poison.hpp"
#include "json/copy_bytes.hpp"
#include "json/kept_storage.hpp"
#include "module/python.hpp"

namespace sorbek::json {

class OutputBuffer {
 public:
  static constexpr std::size_t inline_capacity = 2048;
  // Storage doubles up to this capacity and grows by a quarter beyond it.
  static constexpr std::size_t doubling_limit = 65536;
  // Less unused capacity than this is not worth a call to give back.
  static constexpr std::size_t shrink_minimum = 4096;

  // The padding after the inline storage within this object, for which the
  // stack has no redzone of its own, is poisoned while the object lives.
  OutputBuffer() noexcept { detail::poison_bytes(inline_ + inline_capacity, padding()); }
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  ~OutputBuffer() {
    release();
    detail::unpoison_bytes(inline_ + inline_capacity, padding());
  }

  // Writers keep their own cursor, a local that stays in a register, rather
  // than updating the size in memory at every write (which would make each
  // write wait on the one before); the size is set once, by finish().
  //
  // Makes room for `extra` bytes at `at`, a cursor into this buffer, and
  // returns the cursor, moved if the storage moved. The limit then becomes
  // the larger of what is needed and twice itself, or from 64 KiB on one and
  // a quarter times itself, which keeps the unused capacity of a large
  // output, held while the result str is made, below a quarter of the text
  // (see shrink_to_fit); the storage grows with it where it is smaller.
  char* room(char* at, std::size_t extra) {
    if (static_cast<std::size_t>(end_ - at) < extra) [[unlikely]] return grow_at(at, extra);
    return at;
  }
  // The cursor at the end of the output so far.
  char* start_cursor() noexcept { return data_ + size_; }
  // Ends cursor writing: the output runs up to `at`.
  void finish(char* at) noexcept { size_ = static_cast<std::size_t>(at - data_); }
  // Where `at` stands in the output: offsets, unlike cursors, survive growth.
  std::size_t offset_of(const char* at) const noexcept { return static_cast<std::size_t>(at - data_); }
  // Writes a copy of earlier output, data()[offset, offset + n), at `at`,
  // after room(at, n); returns the cursor after it.
  char* repeat(char* at, std::size_t offset, std::size_t n) noexcept {
    copy_bytes(at, data_ + offset, n);
    return at + n;
  }

  // Gives back the unused capacity of storage allocated by this call that
  // will be kept for the next (see KeptStorage), so that it is not held
  // while the result is made from the text. Shrinking in place moves
  // nothing; should the allocator fail to, the storage stays as it was.
  // Storage taken from an earlier call keeps its capacity: shrunk to a
  // smaller output, it would have to grow again, into fresh pages, for the
  // next larger one (outputs of 800 and 300 KB in turn: 122 page faults a
  // round, against none).
  // Larger storage, which is freed, keeps its capacity: glibc keeps in its
  // heap blocks up to the size of the largest it has seen freed from a
  // mapping of their own, and hands larger ones back. Storage shrunk to the
  // text before it is freed teaches it too small a size, so that every later
  // call growing to the same capacity maps fresh pages and faults them all
  // in (a 5 MB output in a loop: 1,221 page faults a call and 2.5 times the
  // time, against none).
  void shrink_to_fit() noexcept {
    if (data_ == inline_ || reused_ || capacity() > KeptStorage::limit || capacity() - size_ < shrink_minimum) return;
    unpoison();
    if (void* data = PyMem_Realloc(data_, size_); data != nullptr) {
      data_ = static_cast<char*>(data);
      end_ = storage_end_ = data_ + size_;
    }
    poison();
  }

  // Gives up the storage of a text no longer needed, for the next call to
  // take (see KeptStorage); the buffer is then empty.
  void release() noexcept {
    unpoison();
    if (data_ != inline_) KeptStorage::give_back({data_, capacity()});
    reset();
  }
  // Frees the storage outright, so that it is not held while a result as
  // large is made from copies of the text; the buffer is then empty.
  void discard() noexcept {
    unpoison();
    if (data_ != inline_) PyMem_Free(data_);
    reset();
  }

  const char* data() const noexcept { return data_; }
  char* data() noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

 private:
  // The storage's own size, which the limit end_ may not have reached yet.
  std::size_t capacity() const noexcept { return static_cast<std::size_t>(storage_end_ - data_); }

  void reset() noexcept {
    data_ = inline_;
    size_ = 0;
    end_ = storage_end_ = inline_ + inline_capacity;
    reused_ = false;
  }

  std::size_t padding() const noexcept {
    return sizeof(*this) - static_cast<std::size_t>(inline_ + inline_capacity - reinterpret_cast<const char*>(this));
  }
  // The storage past the limit (none while the storage is the inline one).
  void poison() noexcept { detail::poison_bytes(end_, static_cast<std::size_t>(storage_end_ - end_)); }
  // The whole storage, before the allocator or the next call gets it.
  void unpoison() noexcept { detail::unpoison_bytes(data_, capacity()); }

  [[gnu::noinline]] char* grow_at(char* at, std::size_t extra) {
    finish(at);
    if (extra > static_cast<std::size_t>(PY_SSIZE_T_MAX) - size_) throw std::bad_alloc();
    const std::size_t needed = size_ + extra;
    const auto limit = static_cast<std::size_t>(end_ - data_);
    const std::size_t capacity = std::max(limit < doubling_limit ? 2 * limit : limit + limit / 4, needed);
    if (capacity <= this->capacity()) {
      // Storage taken from an earlier call holds it already.
      end_ = data_ + capacity;
      detail::unpoison_bytes(data_ + limit, capacity - limit);
      return data_ + size_;
    }
    unpoison();
    void* data;
    std::size_t storage = capacity;
    if (data_ == inline_) {
      if (const KeptStorage::Block kept = KeptStorage::take(capacity); kept.data != nullptr) {
        data = kept.data;
        storage = kept.capacity;
        reused_ = true;
      } else {
        data = PyMem_Malloc(capacity);
      }
      if (data != nullptr) std::memcpy(data, inline_, size_);
    } else {
      data = PyMem_Realloc(data_, capacity);
    }
    if (data == nullptr) {
      poison();
      throw std::bad_alloc();
    }
    data_ = static_cast<char*>(data);
    end_ = data_ + capacity;
    storage_end_ = data_ + storage;
    poison();
    return data_ + size_;
  }

  char* data_ = inline_;
  std::size_t size_ = 0;
  char* end_ = inline_ + inline_capacity;          // the limit of room()
  char* storage_end_ = inline_ + inline_capacity;  // the end of the storage
  bool reused_ = false;                            // the storage was taken from an earlier call
  char inline_[inline_capacity];
};

}  // namespace sorbek::json
