#pragma once
// The output storage of the last call, kept for the next one, up to 1 MiB.
//
// A server that writes responses of a few hundred KB in a row would
// otherwise have glibc hand the storage and the str made from it back to
// the system after each call (once the freed top of its heap exceeds twice
// the largest block it has freed from a mapping of its own), and every call
// would fault all those pages in again: 116 page faults a call and 2.2 times
// the time for 300 KB of strings in a loop, none with the storage kept.
// Larger outputs are left to the allocator, which keeps blocks of their size
// in its heap once it has seen one freed (see OutputBuffer::shrink_to_fit);
// so is the storage of a result joined from pieces, freed before the join
// so that it is not held beside them (OutputBuffer::discard).
//
// Every call holds the GIL (the module refuses to load in interpreters with
// a GIL of their own, and is not built for free-threaded ones), so the slot
// needs no lock; take() empties it, so that no block is ever held by two
// calls.

#include <cstddef>

#include "module/python.hpp"

namespace sorbek::json {

class KeptStorage {
 public:
  static constexpr std::size_t limit = std::size_t{1} << 20;

  struct Block {
    char* data;
    std::size_t capacity;
  };

  // The kept block, now the caller's, if it holds at least `needed` bytes;
  // otherwise {nullptr, 0}.
  static Block take(std::size_t needed) noexcept {
    if (kept_.data == nullptr || kept_.capacity < needed) return {nullptr, 0};
    const Block block = kept_;
    kept_ = {nullptr, 0};
    return block;
  }

  // Takes over a PyMem block: keeps it if it is the largest within the limit
  // (freeing the one it replaces), frees it otherwise.
  static void give_back(Block block) noexcept {
    if (block.capacity > limit || block.capacity <= kept_.capacity) {
      PyMem_Free(block.data);
      return;
    }
    PyMem_Free(kept_.data);
    kept_ = block;
  }

 private:
  static inline Block kept_ = {nullptr, 0};
};

}  // namespace sorbek::json
