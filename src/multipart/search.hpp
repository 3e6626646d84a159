#pragma once
// Forward substring search over raw bytes, prepared once per needle.
//
// A vector filter compares two bytes of the needle (the first one and the
// last one that differs from it) against 16 or 32 haystack positions at a
// time and verifies the candidates it lets through. A client chooses both the
// body and the boundary, so the verification work is metered: once it
// outgrows the bytes scanned, the search finishes with the Two-Way algorithm
// (Crochemore and Perrin), which is linear in the worst case. Every search is
// therefore O(haystack + needle) whatever the input.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "simd/cpu.hpp"

namespace sorbek::multipart {

inline constexpr std::size_t npos = static_cast<std::size_t>(-1);

class Searcher {
 public:
  // `needle` must hold at least one byte and outlive the searcher.
  explicit Searcher(std::string_view needle, simd::Isa isa = simd::best_isa()) noexcept;

  // Lowest index i >= from with hay[i, i + needle size) equal to the needle,
  // or npos. Reads nothing outside hay[from, size).
  std::size_t find(const std::uint8_t* hay, std::size_t size, std::size_t from) const noexcept {
    std::size_t end;
    return find_many(hay, size, from, &end, 1) == 1 ? end - size_ : npos;
  }

  // Successive non-overlapping occurrences from `from` on, each search
  // resuming behind the previous occurrence: writes the end offset
  // (position + needle size) of up to `capacity` of them to `ends` and
  // returns how many. Fewer than `capacity` means there are no more;
  // otherwise `from` is set to where to continue.
  std::size_t find_many(const std::uint8_t* hay, std::size_t size, std::size_t& from, std::size_t* ends,
                        std::size_t capacity) const noexcept {
    return find_many_(*this, hay, size, from, ends, capacity);
  }

  std::size_t size() const noexcept { return size_; }

  // Two-Way alone, from `from`; exposed for the kernel tests.
  std::size_t find_two_way(const std::uint8_t* hay, std::size_t size, std::size_t from) const noexcept;

 private:
  using FindManyFn = std::size_t (*)(const Searcher&, const std::uint8_t*, std::size_t, std::size_t&, std::size_t*,
                                     std::size_t) noexcept;

  friend struct SearchKernels;

  const std::uint8_t* needle_;
  std::size_t size_;
  std::size_t second_;  // offset of the second filter byte
  // Two-Way state: critical position, period, and whether the needle is periodic.
  std::ptrdiff_t critical_;
  std::size_t period_;
  bool periodic_;
  FindManyFn find_many_;
};

}  // namespace sorbek::multipart
