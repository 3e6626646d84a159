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

namespace {

using Clock = std::chrono::steady_clock;

// Best of several passes, each writing every value one after another into a
// buffer as the JSON writer does, with a separator between values.
template <class T, class Write>
double ns_per_value(const std::vector<T>& values, Write write) {
  std::vector<char> buffer(values.size() * 26 + 64);
  double best = 1e30;
  std::size_t written = 0;
  for (int pass = 0; pass < 15; ++pass) {
    const auto start = Clock::now();
    char* out = buffer.data();
    for (const T v : values) {
      out = write(v, out);
      *out++ = ',';
    }
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    best = std::min(best, ns / static_cast<double>(values.size()));
    written = static_cast<std::size_t>(out - buffer.data());
  }
  if (written == 0) std::abort();
  return best;
}

void report(const char* what, std::size_t count, double ns) {
  std::printf("| %s | %zu | %.2f |\n", what, count, ns);
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

  const auto float_writer = [](double x, char* out) { return write_float(x, out); };
  const auto int_writer = [](std::int64_t v, char* out) { return write_int64(v, out); };

  std::printf("| values | count | ns per value |\n|---|---:|---:|\n");
  report("random doubles of the accepted range", random_doubles.size(), ns_per_value(random_doubles, float_writer));
  report("  of them below 1", below_one.size(), ns_per_value(below_one, float_writer));
  report("  of them from 1 to 1000", below_thousand.size(), ns_per_value(below_thousand, float_writer));
  report("  of them from 1000 up", from_thousand.size(), ns_per_value(from_thousand, float_writer));
  report("short doubles (1 to 6 digits)", short_doubles.size(), ns_per_value(short_doubles, float_writer));
  report("random int64 (uniform bits)", random_ints.size(), ns_per_value(random_ints, int_writer));
  report("int64 of 1 to 19 digits", digit_ints.size(), ns_per_value(digit_ints, int_writer));

  for (int i = 1; i < argc; ++i) {
    std::ifstream file(argv[i], std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<double> doubles;
    std::vector<std::int64_t> ints;
    read_numbers(text, doubles, ints);
    std::string name = argv[i];
    name = name.substr(name.find_last_of('/') + 1);
    if (doubles.size() >= 1000) {
      report((name + ": doubles").c_str(), doubles.size(), ns_per_value(doubles, float_writer));
    }
    if (ints.size() >= 1000) report((name + ": integers").c_str(), ints.size(), ns_per_value(ints, int_writer));
  }
  return 0;
}
