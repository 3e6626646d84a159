// Nanoseconds per number for the JSON number writers, on random values and
// on the numbers of real documents. A benchmark, not a test: it prints
// figures and checks nothing beyond the writers' own output length.
//
// Usage: number_format_bench [FILE.json ...]
// Each file's numbers are read from its text: those with a '.' or an
// exponent as doubles (kept when the writer accepts them), the others as
// 64-bit integers.

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "json/format_number.hpp"
#include "simd/cpu.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Best of several passes of each writer, each pass writing every value one
// after another into a buffer as the JSON writer does, with a separator
// between values. The writers' passes alternate, so that a change in the
// machine's load falls on all of them alike.
template <class T, class Write>
std::vector<double> ns_per_value(const std::vector<T>& values, const std::vector<Write>& writers) {
  std::vector<char> buffer(values.size() * 26 + 64);
  std::vector<double> best(writers.size(), 1e30);
  for (int pass = 0; pass < 15; ++pass) {
    for (std::size_t w = 0; w < writers.size(); ++w) {
      const auto start = Clock::now();
      char* out = buffer.data();
      for (const T v : values) {
        out = writers[w](v, out);
        *out++ = ',';
      }
      const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
      best[w] = std::min(best[w], ns / static_cast<double>(values.size()));
      if (out == buffer.data()) std::abort();
    }
  }
  return best;
}

void report(const char* what, std::size_t count, const std::vector<double>& ns) {
  std::printf("| %s | %zu |", what, count);
  for (const double each : ns) std::printf(" %.2f |", each);
  std::printf("\n");
}

// Numbers of a JSON text, outside its strings.
void read_numbers(const std::string& text, std::vector<double>& doubles, std::vector<std::int64_t>& ints) {
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (in_string) {
      if (ch == '\\') ++i;
      else if (ch == '"') in_string = false;
      continue;
    }
    if (ch == '"') {
      in_string = true;
    } else if (ch == '-' || (ch >= '0' && ch <= '9')) {
      std::size_t end = i + 1;
      while (end < text.size() && std::string_view("0123456789.eE+-").find(text[end]) != std::string_view::npos) ++end;
      const std::string token = text.substr(i, end - i);
      if (token.find_first_of(".eE") != std::string::npos) {
        const double x = std::strtod(token.c_str(), nullptr);
        if (sorbek::json::float_in_range(x)) doubles.push_back(x);
      } else {
        ints.push_back(std::strtoll(token.c_str(), nullptr, 10));
      }
      i = end - 1;
    }
  }
}

std::uint64_t pow10_of(std::uint64_t n) {
  std::uint64_t p = 1;
  while (n-- > 0) p *= 10;
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace sorbek::json;
  std::mt19937_64 rng(2026);
  constexpr std::size_t count = 1 << 20;

  std::vector<double> random_doubles;
  while (random_doubles.size() < count) {
    // Every biased exponent of the accepted range, any mantissa, either sign.
    const std::uint64_t bits = (static_cast<std::uint64_t>(1009 + rng() % 68) << 52) |
                               (rng() & ((std::uint64_t{1} << 52) - 1)) | ((rng() & 1) << 63);
    const double x = std::bit_cast<double>(bits);
    if (float_in_range(x)) random_doubles.push_back(x);
  }
  std::vector<double> short_doubles;  // prices and measurements: up to 6 significant digits
  while (short_doubles.size() < count) {
    const double x = static_cast<double>(rng() % 1000000 + 1) / static_cast<double>(pow10_of(rng() % 6));
    if (float_in_range(x)) short_doubles.push_back(x);
  }
  // The same, split by where the point falls: below 1, from 1 to 1000, and
  // from 1000 up (timestamps with fractions, large amounts).
  std::vector<double> below_one, below_thousand, from_thousand;
  for (const double x : random_doubles) {
    const double m = std::fabs(x);
    (m < 1 ? below_one : m < 1000 ? below_thousand : from_thousand).push_back(x);
  }
  std::vector<std::int64_t> random_ints(count), digit_ints(count);
  for (auto& v : random_ints) v = static_cast<std::int64_t>(rng());
  for (auto& v : digit_ints) {
    // 1 to 19 digits, equally often, either sign.
    const int digits = 1 + static_cast<int>(rng() % 19);
    const std::uint64_t limit = pow10_of(static_cast<std::uint64_t>(digits));
    v = static_cast<std::int64_t>(rng() % (limit - limit / 10) + limit / 10 - (digits == 1));
    if (rng() & 1) v = -v;
  }

  // The module's writers first, then those of every other kernel this CPU
  // runs that differ from them.
  using sorbek::simd::Isa;
  std::vector<const char*> names = {"module"};
  std::vector<NumberWriters> writers = {number_writers_best};
  for (Isa isa : {Isa::scalar, Isa::sse2, Isa::avx2, Isa::avx512, Isa::neon}) {
    if (!sorbek::simd::isa_available(isa) || (isa == Isa::avx2 && sorbek::simd::isa_available(Isa::avx512))) continue;
    names.push_back(sorbek::simd::isa_name(isa));
    writers.push_back(number_writers_for(isa));
  }
  std::vector<decltype(NumberWriters::write_float)> float_writers;
  std::vector<decltype(NumberWriters::write_int64)> int_writers;
  for (const NumberWriters& w : writers) {
    float_writers.push_back(w.write_float);
    int_writers.push_back(w.write_int64);
  }
  const auto floats = [&](const std::vector<double>& values) { return ns_per_value(values, float_writers); };
  const auto integers = [&](const std::vector<std::int64_t>& values) { return ns_per_value(values, int_writers); };

  std::printf("ns per value, by digit kernel (module: the writers json_dumps uses)\n\n| values | count |");
  for (const char* name : names) std::printf(" %s |", name);
  std::printf("\n|---|---:|");
  for (std::size_t i = 0; i < names.size(); ++i) std::printf("---:|");
  std::printf("\n");
  report("random doubles of the accepted range", random_doubles.size(), floats(random_doubles));
  report("  of them below 1", below_one.size(), floats(below_one));
  report("  of them from 1 to 1000", below_thousand.size(), floats(below_thousand));
  report("  of them from 1000 up", from_thousand.size(), floats(from_thousand));
  report("short doubles (1 to 6 digits)", short_doubles.size(), floats(short_doubles));
  report("random int64 (uniform bits)", random_ints.size(), integers(random_ints));
  report("int64 of 1 to 19 digits", digit_ints.size(), integers(digit_ints));

  for (int i = 1; i < argc; ++i) {
    std::ifstream file(argv[i], std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<double> doubles;
    std::vector<std::int64_t> ints;
    read_numbers(text, doubles, ints);
    std::string name = argv[i];
    name = name.substr(name.find_last_of('/') + 1);
    if (doubles.size() >= 1000) {
      report((name + ": doubles").c_str(), doubles.size(), floats(doubles));
    }
    if (ints.size() >= 1000) report((name + ": integers").c_str(), ints.size(), integers(ints));
  }
  return 0;
}
