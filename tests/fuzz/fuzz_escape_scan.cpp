// Every escape-scan kernel, and the inline short-string path, against the
// scalar kernel.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#include "json/escape_scan.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* text = reinterpret_cast<const char*>(data);
  const std::size_t want = sorbek::json::escape_scan_scalar(text, size);
  using sorbek::simd::Isa;
  for (Isa isa : {Isa::sse2, Isa::avx2, Isa::neon}) {
    if (!sorbek::simd::isa_available(isa)) continue;
    if (sorbek::json::escape_scan_for(isa)(text, size) != want) std::abort();
  }
  if (sorbek::json::escape_scan(text, size) != want) std::abort();
  return 0;
}
