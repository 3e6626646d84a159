#include "multipart/search.hpp"

#include <algorithm>
#include <cstring>

#if defined(SORBEK_X86_64)
#include <immintrin.h>
#elif defined(SORBEK_AARCH64)
#include <arm_neon.h>
#endif

namespace sorbek::multipart {

namespace {

// Maximal suffix of the needle under the byte order (or its reverse): returns
// the position before the suffix and its period.
std::ptrdiff_t maximal_suffix(const std::uint8_t* x, std::ptrdiff_t m, bool reversed,
                              std::size_t& period) noexcept {
  std::ptrdiff_t ms = -1, j = 0, k = 1, p = 1;
  while (j + k < m) {
    const std::uint8_t a = x[j + k];
    const std::uint8_t b = x[ms + k];
    if (reversed ? a > b : a < b) {
      j += k;
      k = 1;
      p = j - ms;
    } else if (a == b) {
      if (k != p) {
        ++k;
      } else {
        j += p;
        k = 1;
      }
    } else {
      ms = j;
      j = ms + 1;
      k = p = 1;
    }
  }
  period = static_cast<std::size_t>(p);
  return ms;
}

// Whether a[0, n) == b[0, n): words at a time, the last one overlapping, in
// place of a call to memcmp for a needle that is usually a few dozen bytes.
bool same_bytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) noexcept {
  auto word = [](const std::uint8_t* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
  };
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 < n; i += 8) {
      if (word(a + i) != word(b + i)) return false;
    }
    return word(a + n - 8) == word(b + n - 8);
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

}  // namespace

// Candidate filters. Each walks blocks of start positions, verifies the
// candidates, and hands the rest of the search to Two-Way once verification
// costs more than a few times the bytes scanned.
struct SearchKernels {
  // Verification budget: bytes compared may reach four times the distance
  // scanned plus a constant before the search switches to Two-Way.
  static bool over_budget(std::size_t verified, std::size_t scanned, std::size_t m) noexcept {
    return verified > 4 * scanned + 4 * m + 256;
  }

  static bool matches_at(const Searcher& s, const std::uint8_t* hay, std::size_t pos) noexcept {
    return s.size_ <= 2 || same_bytes(hay + pos, s.needle_, s.size_);
  }

  // Batch form: all occurrences of a range in one pass, so that a body of
  // many tiny sections costs a few instructions per occurrence rather than
  // a call and a vector setup each.
  struct Batch {
    std::size_t* ends;
    std::size_t capacity;
    std::size_t count = 0;
    std::size_t next;      // lowest start a new occurrence may have
    std::size_t verified = 0;
    std::size_t origin;    // where this call began scanning, for the budget
    bool full() const noexcept { return count == capacity; }
  };

  // Drops the candidates of the block at i that start before b.next, inside
  // an occurrence already recorded.
  template <class Block>
  static std::uint64_t from_next(std::uint64_t mask, const Batch& b, std::size_t i) noexcept {
    if (b.next <= i) return mask;
    return b.next - i >= Block::width ? 0 : mask & (~std::uint64_t{0} << (b.next - i));
  }

  // Records an occurrence at pos; returns false once the batch is full.
  static bool record(const Searcher& s, Batch& b, std::size_t pos) noexcept {
    b.next = pos + s.size_;
    b.ends[b.count++] = b.next;
    return !b.full();
  }

  // The rest of a batch by Two-Way, once verification outgrew its budget.
  static std::size_t many_two_way(const Searcher& s, const std::uint8_t* hay, std::size_t size, Batch& b) noexcept {
    for (;;) {
      const std::size_t pos = s.find_two_way(hay, size, b.next);
      if (pos == npos || !record(s, b, pos)) break;
    }
    return b.count;
  }

  // Filters start positions i, i + width, ... while a whole block fits;
  // returns the first start it did not cover, or npos when the batch is
  // complete (full, or handed to Two-Way).
  template <class Block>
  [[gnu::always_inline]] static inline std::size_t many_blocks(const Searcher& s, const std::uint8_t* hay,
                                                               std::size_t size, Batch& b, std::size_t i) noexcept {
    const std::size_t m = s.size_;
    const std::size_t last = size - m;
    const Block block(s.needle_[0], s.needle_[s.second_]);
    while (i <= last && last - i >= Block::width - 1) {
      // A block covers starts i .. i + width - 1; its loads end at i + second_ + width - 1 <= size - 1.
      std::uint64_t mask = from_next<Block>(block.mask(hay + i, hay + i + s.second_), b, i);
      while (mask != 0) {
        const std::size_t pos = i + static_cast<std::size_t>(__builtin_ctzll(mask));
        if (matches_at(s, hay, pos)) {
          if (!record(s, b, pos)) return npos;
          mask = from_next<Block>(mask, b, i);
          continue;
        }
        b.verified += m;
        if (over_budget(b.verified, pos - b.origin, m)) {
          b.next = pos + 1;
          many_two_way(s, hay, size, b);
          return npos;
        }
        mask &= mask - 1;
      }
      i = std::max(i + Block::width, b.next);
    }
    return i;
  }

  struct ScalarBlock {
    static constexpr std::size_t width = 1;
    std::uint8_t first, second;
    ScalarBlock(std::uint8_t a, std::uint8_t b) noexcept : first(a), second(b) {}
    std::uint64_t mask(const std::uint8_t* p, const std::uint8_t* q) const noexcept {
      return (*p == first) & (*q == second);
    }
  };

  template <class Block>
  [[gnu::always_inline]] static inline std::size_t find_many_blocks(const Searcher& s, const std::uint8_t* hay,
                                                                    std::size_t size, std::size_t& from,
                                                                    std::size_t* ends, std::size_t capacity) noexcept {
    if (capacity == 0) return 0;
    Batch b{ends, capacity, 0, from, 0, from};
    if (size >= s.size_ && from <= size - s.size_) {
      std::size_t i = many_blocks<Block>(s, hay, size, b, from);
      if (i != npos) many_blocks<ScalarBlock>(s, hay, size, b, i);
    }
    from = b.next;
    return b.count;
  }

  static std::size_t find_many_scalar(const Searcher& s, const std::uint8_t* hay, std::size_t size,
                                      std::size_t& from, std::size_t* ends, std::size_t capacity) noexcept {
    return find_many_blocks<ScalarBlock>(s, hay, size, from, ends, capacity);
  }

#if defined(SORBEK_X86_64)
  struct Sse2Block {
    static constexpr std::size_t width = 16;
    __m128i first, second;
    Sse2Block(std::uint8_t a, std::uint8_t b) noexcept
        : first(_mm_set1_epi8(static_cast<char>(a))), second(_mm_set1_epi8(static_cast<char>(b))) {}
    std::uint64_t mask(const std::uint8_t* p, const std::uint8_t* q) const noexcept {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
      const __m128i eq = _mm_and_si128(_mm_cmpeq_epi8(x, first), _mm_cmpeq_epi8(y, second));
      return static_cast<std::uint32_t>(_mm_movemask_epi8(eq));
    }
  };

  struct Avx2Block {
    static constexpr std::size_t width = 32;
    __m256i first, second;
    SORBEK_TARGET_AVX2 Avx2Block(std::uint8_t a, std::uint8_t b) noexcept
        : first(_mm256_set1_epi8(static_cast<char>(a))), second(_mm256_set1_epi8(static_cast<char>(b))) {}
    SORBEK_TARGET_AVX2 std::uint64_t mask(const std::uint8_t* p, const std::uint8_t* q) const noexcept {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
      const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
      const __m256i eq = _mm256_and_si256(_mm256_cmpeq_epi8(x, first), _mm256_cmpeq_epi8(y, second));
      return static_cast<std::uint32_t>(_mm256_movemask_epi8(eq));
    }
  };

  static std::size_t find_many_sse2(const Searcher& s, const std::uint8_t* hay, std::size_t size,
                                    std::size_t& from, std::size_t* ends, std::size_t capacity) noexcept {
    return find_many_blocks<Sse2Block>(s, hay, size, from, ends, capacity);
  }

  SORBEK_TARGET_AVX2 static std::size_t find_many_avx2(const Searcher& s, const std::uint8_t* hay,
                                                       std::size_t size, std::size_t& from, std::size_t* ends,
                                                       std::size_t capacity) noexcept {
    return find_many_blocks<Avx2Block>(s, hay, size, from, ends, capacity);
  }
#elif defined(SORBEK_AARCH64)
  struct NeonBlock {
    static constexpr std::size_t width = 16;
    uint8x16_t first, second;
    NeonBlock(std::uint8_t a, std::uint8_t b) noexcept : first(vdupq_n_u8(a)), second(vdupq_n_u8(b)) {}
    std::uint64_t mask(const std::uint8_t* p, const std::uint8_t* q) const noexcept {
      const uint8x16_t eq = vandq_u8(vceqq_u8(vld1q_u8(p), first), vceqq_u8(vld1q_u8(q), second));
      // Narrow each byte to a nibble; keep one bit per nibble so ctz/4 is the index.
      const uint8x8_t nib = vshrn_n_u16(vreinterpretq_u16_u8(eq), 4);
      std::uint64_t bits = vget_lane_u64(vreinterpret_u64_u8(nib), 0) & 0x1111111111111111ull;
      // Spread: bit 4k marks position k; compress to bit k.
      std::uint64_t out = 0;
      while (bits != 0) {
        out |= std::uint64_t{1} << (__builtin_ctzll(bits) / 4);
        bits &= bits - 1;
      }
      return out;
    }
  };

  static std::size_t find_many_neon(const Searcher& s, const std::uint8_t* hay, std::size_t size,
                                    std::size_t& from, std::size_t* ends, std::size_t capacity) noexcept {
    return find_many_blocks<NeonBlock>(s, hay, size, from, ends, capacity);
  }
#endif

  static Searcher::FindManyFn select(simd::Isa isa) noexcept {
    switch (isa) {
#if defined(SORBEK_X86_64)
      case simd::Isa::avx512:  // no variant of its own
      case simd::Isa::avx2:
        if (simd::isa_available(simd::Isa::avx2)) return &find_many_avx2;
        return &find_many_sse2;
      case simd::Isa::sse2:
        return &find_many_sse2;
#elif defined(SORBEK_AARCH64)
      case simd::Isa::neon:
        return &find_many_neon;
#endif
      default:
        return &find_many_scalar;
    }
  }
};

Searcher::Searcher(std::string_view needle, simd::Isa isa) noexcept
    : needle_(reinterpret_cast<const std::uint8_t*>(needle.data())),
      size_(needle.size()),
      second_(0),
      critical_(-1),
      period_(1),
      periodic_(false),
      find_many_(SearchKernels::select(isa)) {
  const std::size_t m = size_;
  // Second filter byte: the last one that differs from the first, so that
  // runs of the first byte (a boundary of dashes, say) let no candidate through.
  if (m > 1) {
    second_ = m - 1;
    while (second_ > 0 && needle_[second_] == needle_[0]) --second_;
    if (second_ == 0) second_ = m - 1;
  }
  // Critical factorisation for Two-Way.
  std::size_t p = 1, q = 1;
  const auto sm = static_cast<std::ptrdiff_t>(m);
  const std::ptrdiff_t i = maximal_suffix(needle_, sm, false, p);
  const std::ptrdiff_t j = maximal_suffix(needle_, sm, true, q);
  if (i > j) {
    critical_ = i;
    period_ = p;
  } else {
    critical_ = j;
    period_ = q;
  }
  periodic_ = period_ < m &&
              std::memcmp(needle_, needle_ + period_, static_cast<std::size_t>(critical_ + 1)) == 0;
  if (!periodic_) {
    period_ = std::max(static_cast<std::size_t>(critical_ + 1), m - static_cast<std::size_t>(critical_ + 1)) + 1;
  }
}

std::size_t Searcher::find_two_way(const std::uint8_t* hay, std::size_t size, std::size_t from) const noexcept {
  const std::size_t m = size_;
  if (size < m || from > size - m) return npos;
  const auto sm = static_cast<std::ptrdiff_t>(m);
  const std::uint8_t* x = needle_;
  const std::ptrdiff_t ell = critical_;
  const std::size_t last = size - m;
  std::size_t j = from;
  if (periodic_) {
    std::ptrdiff_t memory = -1;
    while (j <= last) {
      const std::uint8_t* y = hay + j;
      std::ptrdiff_t i = std::max(ell, memory) + 1;
      while (i < sm && x[i] == y[i]) ++i;
      if (i >= sm) {
        i = ell;
        while (i > memory && x[i] == y[i]) --i;
        if (i <= memory) return j;
        j += period_;
        memory = sm - static_cast<std::ptrdiff_t>(period_) - 1;
      } else {
        j += static_cast<std::size_t>(i - ell);
        memory = -1;
      }
    }
  } else {
    while (j <= last) {
      const std::uint8_t* y = hay + j;
      std::ptrdiff_t i = ell + 1;
      while (i < sm && x[i] == y[i]) ++i;
      if (i >= sm) {
        i = ell;
        while (i >= 0 && x[i] == y[i]) --i;
        if (i < 0) return j;
        j += period_;
      } else {
        j += static_cast<std::size_t>(i - ell);
      }
    }
  }
  return npos;
}

}  // namespace sorbek::multipart
