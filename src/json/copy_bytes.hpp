#pragma once
// Copies of a few bytes, the common case of the writer (keys, short values,
// the clean run before an escape), by fixed-size moves that overlap instead
// of a call to memcpy.

#include <cstddef>
#include <cstring>

namespace sorbek::json {

inline void copy_bytes(char* to, const char* p, std::size_t n) noexcept {
  if (n >= 8 && n <= 16) {
    std::memcpy(to, p, 8);
    std::memcpy(to + n - 8, p + n - 8, 8);
  } else if (n > 16 && n <= 32) {
    std::memcpy(to, p, 16);
    std::memcpy(to + n - 16, p + n - 16, 16);
  } else if (n >= 4 && n < 8) {
    std::memcpy(to, p, 4);
    std::memcpy(to + n - 4, p + n - 4, 4);
  } else if (n > 0 && n < 4) {
    to[0] = p[0];
    to[n / 2] = p[n / 2];
    to[n - 1] = p[n - 1];
  } else if (n > 32) {
    std::memcpy(to, p, n);
  }
}

}  // namespace sorbek::json
