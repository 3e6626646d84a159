// Every substring-search kernel, single and batched, against a naive search.
// Input: one byte choosing the needle length, the needle, then the haystack.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "multipart/blank_line.hpp"
#include "multipart/search.hpp"

using sorbek::multipart::npos;
using sorbek::multipart::Searcher;
using sorbek::simd::Isa;
namespace blank_line = sorbek::multipart::blank_line;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t m = 1 + data[0] % 80;
  if (size - 1 < m) return 0;
  const std::string_view needle(reinterpret_cast<const char*>(data + 1), m);
  const std::uint8_t* hay = data + 1 + m;
  const std::size_t n = size - 1 - m;
  const std::string_view text(reinterpret_cast<const char*>(hay), n);

  std::vector<std::size_t> want;
  for (std::size_t p = text.find(needle); p != std::string_view::npos; p = text.find(needle, p + m)) want.push_back(p + m);

  for (Isa isa : {Isa::scalar, Isa::sse2, Isa::avx2, Isa::avx512, Isa::neon}) {
    if (!sorbek::simd::isa_available(isa)) continue;
    const Searcher searcher(needle, isa);
    for (std::size_t from = 0; from <= n; from += 1 + n / 16) {
      const std::size_t naive = text.find(needle, from);
      const std::size_t expected = naive == std::string_view::npos ? npos : naive;
      if (searcher.find(hay, n, from) != expected) std::abort();
      if (searcher.find_two_way(hay, n, from) != expected) std::abort();
    }
    std::size_t ends[5];
    std::vector<std::size_t> got;
    std::size_t from = 0;
    for (;;) {
      const std::size_t found = searcher.find_many(hay, n, from, ends, 5);
      got.insert(got.end(), ends, ends + found);
      if (found < 5) break;
    }
    if (got != want) std::abort();
  }
  // The blank-line kernel on the same bytes, from every sixteenth offset.
  for (std::size_t from = 0; from <= n; from += 1 + n / 16) {
    const std::size_t at = text.find("\r\n\r\n", from);
    const std::size_t expected = at == std::string_view::npos ? blank_line::not_found : at;
    if (blank_line::Best::find(hay, from, n) != expected || blank_line::Portable::find(hay, from, n) != expected) {
      std::abort();
    }
  }
  return 0;
}
