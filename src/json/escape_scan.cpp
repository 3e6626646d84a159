#include "json/escape_scan.hpp"

#include <cstring>

#if defined(SORBEK_X86_64)
#include <immintrin.h>
#elif defined(SORBEK_AARCH64)
#include <arm_neon.h>
#endif

namespace sorbek::json {

constinit const bool escape_table[256] = {
    true, true, true, true, true, true, true, true, true, true, true, true, true, true, true, true,
    true, true, true, true, true, true, true, true, true, true, true, true, true, true, true, true,
    false, false, true, false, false, false, false, false, false, false, false, false, false, false, false, false,
    false, false, false, false, false, false, false, false, false, false, false, false, false, false, false, false,
    false, false, false, false, false, false, false, false, false, false, false, false, false, false, false, false,
    false, false, false, false, false, false, false, false, false, false, false, false, true, false, false, false,
};

std::size_t escape_scan_scalar(const char* p, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    if (needs_escape(static_cast<unsigned char>(p[i]))) return i;
  }
  return n;
}

std::size_t copy_until_escape_portable(const char* p, std::size_t n, char* to) noexcept {
  const std::size_t clean = escape_scan_scalar(p, n);
  std::memcpy(to, p, clean);
  return clean;
}

std::size_t copy_short_run_portable(const char* p, std::size_t n, char* to) noexcept {
  std::memcpy(to, p, n);
  return escape_scan_scalar(p, n);
}

#if defined(SORBEK_X86_64)

std::size_t escape_scan_sse2(const char* p, std::size_t n) noexcept {
  auto hits = [&](std::size_t at) { return detail::escape_mask16(p + at); };
  if (n < 16) return escape_scan_scalar(p, n);
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    if (const unsigned mask = hits(i)) return i + static_cast<std::size_t>(__builtin_ctz(mask));
  }
  if (i == n) return n;
  // The last block overlaps bytes already known to be clean.
  const std::size_t at = n - 16;
  if (const unsigned mask = hits(at)) return at + static_cast<std::size_t>(__builtin_ctz(mask));
  return n;
}

std::size_t copy_until_escape_sse2(const char* p, std::size_t n, char* to) noexcept {
  if (n < 16) return copy_until_escape_portable(p, n, to);
  auto copy_block = [&](std::size_t at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), v);
    return detail::escape_mask16(v);
  };
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    if (const unsigned mask = copy_block(i)) return i + static_cast<std::size_t>(__builtin_ctz(mask));
  }
  if (i == n) return n;
  const std::size_t at = n - 16;  // overlaps bytes already copied and known clean
  if (const unsigned mask = copy_block(at)) return at + static_cast<std::size_t>(__builtin_ctz(mask));
  return n;
}

SORBEK_TARGET_AVX2 std::size_t escape_scan_avx2(const char* p, std::size_t n) noexcept {
  if (n < 32) return escape_scan_sse2(p, n);
  const __m256i limit = _mm256_set1_epi8(0x1F);
  const __m256i quote = _mm256_set1_epi8('"');
  const __m256i backslash = _mm256_set1_epi8('\\');
  auto hits = [&](std::size_t at) SORBEK_TARGET_AVX2 {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + at));
    const __m256i control = _mm256_cmpeq_epi8(_mm256_max_epu8(v, limit), limit);
    const __m256i special = _mm256_or_si256(_mm256_cmpeq_epi8(v, quote), _mm256_cmpeq_epi8(v, backslash));
    return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_or_si256(control, special)));
  };
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    if (const unsigned mask = hits(i)) return i + static_cast<std::size_t>(__builtin_ctz(mask));
  }
  if (i == n) return n;
  const std::size_t at = n - 32;
  if (const unsigned mask = hits(at)) return at + static_cast<std::size_t>(__builtin_ctz(mask));
  return n;
}

SORBEK_TARGET_AVX2 std::size_t copy_until_escape_avx2(const char* p, std::size_t n, char* to) noexcept {
  if (n < 32) return copy_until_escape_sse2(p, n, to);
  const __m256i limit = _mm256_set1_epi8(0x1F);
  const __m256i quote = _mm256_set1_epi8('"');
  const __m256i backslash = _mm256_set1_epi8('\\');
  auto copy_block = [&](std::size_t at) SORBEK_TARGET_AVX2 {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + at));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + at), v);
    const __m256i control = _mm256_cmpeq_epi8(_mm256_max_epu8(v, limit), limit);
    const __m256i special = _mm256_or_si256(_mm256_cmpeq_epi8(v, quote), _mm256_cmpeq_epi8(v, backslash));
    return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_or_si256(control, special)));
  };
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    if (const unsigned mask = copy_block(i)) return i + static_cast<std::size_t>(__builtin_ctz(mask));
  }
  if (i == n) return n;
  const std::size_t at = n - 32;
  if (const unsigned mask = copy_block(at)) return at + static_cast<std::size_t>(__builtin_ctz(mask));
  return n;
}

#elif defined(SORBEK_AARCH64)

std::size_t copy_until_escape_neon(const char* p, std::size_t n, char* to) noexcept {
  if (n < 16) return copy_until_escape_portable(p, n, to);
  auto copy_block = [&](std::size_t at) {
    const uint8x16_t v = vld1q_u8(reinterpret_cast<const std::uint8_t*>(p + at));
    vst1q_u8(reinterpret_cast<std::uint8_t*>(to + at), v);
    return detail::escape_nibbles16(v);
  };
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    if (const std::uint64_t mask = copy_block(i)) return i + static_cast<std::size_t>(__builtin_ctzll(mask) / 4);
  }
  if (i == n) return n;
  const std::size_t at = n - 16;
  if (const std::uint64_t mask = copy_block(at)) return at + static_cast<std::size_t>(__builtin_ctzll(mask) / 4);
  return n;
}

std::size_t escape_scan_neon(const char* p, std::size_t n) noexcept {
  if (n < 16) return escape_scan_scalar(p, n);
  // Four bits per byte; the lowest set nibble marks the first hit.
  auto hits = [&](std::size_t at) {
    return detail::escape_nibbles16(vld1q_u8(reinterpret_cast<const std::uint8_t*>(p + at)));
  };
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    if (const std::uint64_t mask = hits(i)) return i + static_cast<std::size_t>(__builtin_ctzll(mask) / 4);
  }
  if (i == n) return n;
  const std::size_t at = n - 16;
  if (const std::uint64_t mask = hits(at)) return at + static_cast<std::size_t>(__builtin_ctzll(mask) / 4);
  return n;
}

#endif

EscapeKernels escape_kernels_for(simd::Isa isa) noexcept {
  switch (isa) {
#if defined(SORBEK_X86_64)
    case simd::Isa::avx2:
      if (simd::isa_available(simd::Isa::avx2)) return {&escape_scan_avx2, &copy_until_escape_avx2};
      return {&escape_scan_sse2, &copy_until_escape_sse2};
    case simd::Isa::sse2:
      return {&escape_scan_sse2, &copy_until_escape_sse2};
#elif defined(SORBEK_AARCH64)
    case simd::Isa::neon:
      return {&escape_scan_neon, &copy_until_escape_neon};
#endif
    default:
      return {&escape_scan_scalar, &copy_until_escape_portable};
  }
}

const EscapeKernels escape_kernels_best = escape_kernels_for(simd::best_isa());

}  // namespace sorbek::json
