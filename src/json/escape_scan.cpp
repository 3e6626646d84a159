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

namespace {

// The index of the first byte to escape in n >= width bytes, from block(at):
// the escape mask (bits_per_byte bits a byte, the first byte lowest) of the
// width bytes at `at`, which a copying kernel also stores. The last block
// ends at n and overlaps bytes already known to be clean.
template <std::size_t width, unsigned bits_per_byte, class Block>
[[gnu::always_inline]] inline std::size_t first_escape(std::size_t n, Block&& block) noexcept {
  std::size_t i = 0;
  for (; i + width <= n; i += width) {
    if (const std::uint64_t mask = block(i)) return i + static_cast<std::size_t>(__builtin_ctzll(mask)) / bits_per_byte;
  }
  if (i == n) return n;
  const std::size_t at = n - width;
  if (const std::uint64_t mask = block(at)) return at + static_cast<std::size_t>(__builtin_ctzll(mask)) / bits_per_byte;
  return n;
}

}  // namespace

#if defined(SORBEK_X86_64)

namespace {

SORBEK_TARGET_AVX2 inline unsigned escape_mask32(__m256i v) noexcept {
  const __m256i limit = _mm256_set1_epi8(0x1F);
  const __m256i control = _mm256_cmpeq_epi8(_mm256_max_epu8(v, limit), limit);
  const __m256i special =
      _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('"')), _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\\')));
  return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_or_si256(control, special)));
}

}  // namespace

std::size_t copy_until_escape_sse2(const char* p, std::size_t n, char* to) noexcept {
  if (n < 16) return copy_until_escape_portable(p, n, to);
  return first_escape<16, 1>(n, [&](std::size_t at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), v);
    return detail::escape_mask16(v);
  });
}

SORBEK_TARGET_AVX2 std::size_t copy_until_escape_avx2(const char* p, std::size_t n, char* to) noexcept {
  if (n < 32) return copy_until_escape_sse2(p, n, to);
  return first_escape<32, 1>(n, [&](std::size_t at) SORBEK_TARGET_AVX2 {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + at));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + at), v);
    return escape_mask32(v);
  });
}

namespace {

SORBEK_TARGET_AVX512 inline std::uint64_t escape_mask64(__m512i v) noexcept {
  return _mm512_cmple_epu8_mask(v, _mm512_set1_epi8(0x1F)) | _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('"')) |
         _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\\'));
}

}  // namespace

// Below 64 bytes (empty strings included) one masked load and store, which
// read and write only the string's bytes.
SORBEK_TARGET_AVX512 std::size_t copy_until_escape_avx512(const char* p, std::size_t n, char* to) noexcept {
  if (n < 64) {
    const __mmask64 bytes = _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(n));
    const __m512i v = _mm512_maskz_loadu_epi8(bytes, p);
    _mm512_mask_storeu_epi8(to, bytes, v);
    const std::uint64_t hits = escape_mask64(v) & bytes;
    return hits != 0 ? static_cast<std::size_t>(__builtin_ctzll(hits)) : n;
  }
  return first_escape<64, 1>(n, [&](std::size_t at) SORBEK_TARGET_AVX512 {
    const __m512i v = _mm512_loadu_si512(p + at);
    _mm512_storeu_si512(to + at, v);
    return escape_mask64(v);
  });
}

#elif defined(SORBEK_AARCH64)

// Four bits a byte; the lowest set nibble marks the first hit.
std::size_t copy_until_escape_neon(const char* p, std::size_t n, char* to) noexcept {
  if (n < 16) return copy_until_escape_portable(p, n, to);
  return first_escape<16, 4>(n, [&](std::size_t at) {
    const uint8x16_t v = vld1q_u8(reinterpret_cast<const std::uint8_t*>(p + at));
    vst1q_u8(reinterpret_cast<std::uint8_t*>(to + at), v);
    return detail::escape_nibbles16(v);
  });
}

#endif

CopyUntilEscapeFn copy_until_escape_for(simd::Isa isa) noexcept {
  switch (isa) {
#if defined(SORBEK_X86_64)
    case simd::Isa::avx512:
      if (simd::isa_available(simd::Isa::avx512)) return &copy_until_escape_avx512;
      [[fallthrough]];
    case simd::Isa::avx2:
      if (simd::isa_available(simd::Isa::avx2)) return &copy_until_escape_avx2;
      return &copy_until_escape_sse2;
    case simd::Isa::sse2:
      return &copy_until_escape_sse2;
#elif defined(SORBEK_AARCH64)
    case simd::Isa::neon:
      return &copy_until_escape_neon;
#endif
    default:
      return &copy_until_escape_portable;
  }
}

const CopyUntilEscapeFn copy_until_escape_best = copy_until_escape_for(simd::best_isa());

}  // namespace sorbek::json
