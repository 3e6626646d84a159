#pragma once
// The instruction sets whose kernels this build has and this CPU runs.

#include <string>
#include <vector>

#include "simd/cpu.hpp"

inline std::vector<sorbek::simd::Isa> runnable_isas() {
  using sorbek::simd::Isa;
  std::vector<Isa> isas;
  for (Isa isa : {Isa::scalar, Isa::sse2, Isa::avx2, Isa::avx512, Isa::neon}) {
    if (sorbek::simd::isa_available(isa)) isas.push_back(isa);
  }
  return isas;
}

// Test-name suffix for a parametrised kernel test.
struct IsaName {
  template <class Info>
  std::string operator()(const Info& param_info) const {
    return sorbek::simd::isa_name(param_info.param);
  }
};
