#pragma once
// How far a load may reach past the last byte of a run of bytes. Short
// strings are cheapest read as one whole vector window that may extend past
// their end; on ordinary memory that is sound up to the end of the page that
// holds the run's last byte, since that page is mapped. Two kinds of process
// allow less:
// - where the CPU can tag memory (Arm MTE), every 16-byte granule carries the
//   tag of the allocation it belongs to, and a load from a neighbouring
//   allocation's granule faults: a load may reach only to the end of the
//   granule that holds the run's last byte, which is its own allocation's;
// - under valgrind's memcheck, which reports every byte read outside an
//   allocation, a load may not reach past the run at all.
// Which one holds is decided once per process, when the module is loaded.

#include <cstddef>
#include <cstdint>

namespace sorbek::simd {

enum class ReadBound { page, granule, exact };

// What this process allows, probed at each call; process_read_mask keeps the
// answer of the one call made when the module is loaded.
ReadBound process_read_bound() noexcept;

// The bound as a mask: a load may reach up to the end of the aligned block of
// mask + 1 bytes that holds the run's last byte.
constexpr std::uintptr_t read_bound_mask(ReadBound bound) noexcept {
  return bound == ReadBound::page ? 4095 : bound == ReadBound::granule ? 15 : 0;
}

// The mask of process_read_bound(), read on every short string (hidden, so
// that it is read straight, not through the symbol table).
[[gnu::visibility("hidden")]] extern const std::uintptr_t process_read_mask;

// Whether `window` bytes from p may be loaded for a run of n >= 1 bytes at p.
inline bool window_within_bound(const char* p, std::size_t n, std::size_t window, std::uintptr_t mask) noexcept {
  const auto first = reinterpret_cast<std::uintptr_t>(p);
  return first + (window - 1) <= ((first + (n - 1)) | mask);
}

const char* read_bound_name(ReadBound bound) noexcept;

}  // namespace sorbek::simd
