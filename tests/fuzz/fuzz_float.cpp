// The float writer against the exact oracle, and the writer on every digit
// kernel this CPU runs against it. Input: 8 bytes of a double; the exponent
// is folded into the accepted range so that most inputs count, and low
// mantissa bits are cleared as the next byte says, which makes exact halfway
// cases common.
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../cpp/float_oracle.hpp"
#include "json/format_number.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  std::uint64_t bits;
  std::memcpy(&bits, data, 8);
  if (size > 8 && (data[8] & 1)) {
    // Fold into biased exponents 1009..1075 (0.0001 up to 2^53).
    const std::uint64_t exponent = 1009 + ((bits >> 52) & 0x7FF) % 67;
    bits = (bits & 0x800FFFFFFFFFFFFFull) | (exponent << 52);
    bits &= ~((std::uint64_t{1} << (data[8] >> 1) % 53) - 1);
  }
  const double x = std::bit_cast<double>(bits);
  if (!sorbek::json::float_in_range(x)) return 0;
  char buf[sorbek::json::float_chars];
  const std::string got(buf, sorbek::json::write_float(x, buf));
  if (got != oracle::expected(x).text) std::abort();
  using sorbek::simd::Isa;
  for (Isa isa : {Isa::scalar, Isa::sse2, Isa::avx2, Isa::avx512, Isa::neon}) {
    if (!sorbek::simd::isa_available(isa)) continue;
    const std::string other(buf, sorbek::json::number_writers_for(isa).write_float(x, buf));
    if (other != got) std::abort();
  }
  return 0;
}
