// Sweeps random doubles of the accepted range (half of them with low mantissa
// bits cleared, which makes exact halfway cases common) against the exact
// oracle and reports counts. Usage: float_sweep COUNT [THREADS] [SEED]
#include <atomic>
#include <bit>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "float_oracle.hpp"
#include "json/format_number.hpp"

int main(int argc, char** argv) {
  const std::uint64_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const unsigned threads = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 1;
  const std::uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 2026;
  std::atomic<std::uint64_t> checked{0}, ties{0}, failures{0};
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      std::mt19937_64 rng(seed * 1000 + t);
      std::uint64_t local_checked = 0, local_ties = 0;
      for (std::uint64_t i = t; i < count; i += threads) {
        std::uint64_t bits = (static_cast<std::uint64_t>(1009 + rng() % 68) << 52) | (rng() & ((1ull << 52) - 1));
        if (i % 2) bits &= ~((1ull << (rng() % 53)) - 1);
        if (rng() & 1) bits |= 1ull << 63;
        const double x = std::bit_cast<double>(bits);
        if (!sorbek::json::float_in_range(x)) continue;
        char buf[sorbek::json::float_chars];
        const std::string got(buf, sorbek::json::write_float(x, buf));
        const auto want = oracle::expected(x);
        ++local_checked;
        local_ties += want.tie;
        if (got != want.text && failures.fetch_add(1) < 20) {
          std::fprintf(stderr, "mismatch %016" PRIx64 ": got %s want %s\n", bits, got.c_str(), want.text.c_str());
        }
      }
      checked += local_checked;
      ties += local_ties;
    });
  }
  for (auto& th : pool) th.join();
  std::printf("float sweep: %" PRIu64 " doubles checked, %" PRIu64 " exact halfway cases, %" PRIu64 " mismatches\n",
              checked.load(), ties.load(), failures.load());
  return failures.load() == 0 && checked.load() > 0 ? 0 : 1;
}
