// Every escape kernel, the inline path for short runs and the short-run
// copy, against the scalar scan.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "json/escape_scan.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* text = reinterpret_cast<const char*>(data);
  const std::size_t want = sorbek::json::escape_scan_scalar(text, size);
  using sorbek::simd::Isa;
  std::vector<char> copied(size + 32);
  auto check = [&](sorbek::json::CopyUntilEscapeFn copy) {
    std::memset(copied.data(), '~', copied.size());
    if (copy(text, size, copied.data()) != want) std::abort();
    if (std::memcmp(copied.data(), text, want) != 0 || copied[size] != '~') std::abort();
  };
  for (Isa isa : {Isa::sse2, Isa::avx2, Isa::avx512, Isa::neon}) {
    if (sorbek::simd::isa_available(isa)) check(sorbek::json::copy_until_escape_for(isa));
  }
  check(sorbek::json::copy_until_escape);
#if defined(SORBEK_HAS_SHORT_RUN)
  using sorbek::json::short_run;
  if (size > 0 && size <= short_run) {
    // The run at the start of its window, with bytes to escape after it that must not count.
    alignas(64) char window[2 * short_run];
    std::memset(window, '"', sizeof window);
    std::memcpy(window, text, size);
    char run[short_run];
    if (!sorbek::json::short_window_readable(window, size)) std::abort();
    if (sorbek::json::copy_short_run(window, size, run) != want) std::abort();
    if (std::memcmp(run, text, size) != 0) std::abort();
  }
#endif
  return 0;
}
