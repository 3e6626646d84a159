// Every escape-scan kernel, the inline short-string path and the short-run
// copy, against the scalar kernel.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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
#if defined(SORBEK_HAS_SHORT_RUN)
  using sorbek::json::short_run;
  if (size > 0 && size <= short_run) {
    // The run at the start of its window, with bytes to escape after it that must not count.
    alignas(64) char window[2 * short_run];
    std::memset(window, '"', sizeof window);
    std::memcpy(window, text, size);
    char copied[short_run];
    if (!sorbek::json::short_window_readable(window, size)) std::abort();
    if (sorbek::json::copy_short_run(window, size, copied) != want) std::abort();
    if (std::memcmp(copied, text, size) != 0) std::abort();
  }
#endif
  return 0;
}
