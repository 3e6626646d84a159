#pragma once
// Marking memory that must not be touched, for AddressSanitizer to report
// any access to it; nothing in other builds.

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define SORBEK_ASAN_POISON 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SORBEK_ASAN_POISON 1
#endif
#endif
#if defined(SORBEK_ASAN_POISON)
#include <sanitizer/asan_interface.h>
#endif

namespace sorbek::json::detail {

#if defined(SORBEK_ASAN_POISON)
inline void poison_bytes(const void* p, std::size_t n) noexcept { ASAN_POISON_MEMORY_REGION(p, n); }
inline void unpoison_bytes(const void* p, std::size_t n) noexcept { ASAN_UNPOISON_MEMORY_REGION(p, n); }
#else
inline void poison_bytes(const void*, std::size_t) noexcept {}
inline void unpoison_bytes(const void*, std::size_t) noexcept {}
#endif

}  // namespace sorbek::json::detail
