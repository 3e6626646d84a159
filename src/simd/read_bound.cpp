#include "simd/read_bound.hpp"

#include "simd/cpu.hpp"

#if defined(SORBEK_AARCH64) && defined(__linux__)
#include <sys/auxv.h>
#endif

namespace sorbek::simd {

namespace {

// A valgrind client request: a sequence of rotations that leaves the
// register unchanged natively, and that valgrind's JIT recognises and answers
// by setting the result register. Natively the result stays `fallback`.
std::uint64_t client_request(std::uint64_t fallback, const std::uint64_t (&request)[6]) noexcept {
  std::uint64_t result = fallback;
#if defined(SORBEK_X86_64)
  __asm__ volatile(
      "rolq $3, %%rdi; rolq $13, %%rdi\n\t"
      "rolq $61, %%rdi; rolq $51, %%rdi\n\t"
      "xchgq %%rbx, %%rbx"
      : "+d"(result)
      : "a"(&request[0])
      : "cc", "memory");
#elif defined(SORBEK_AARCH64)
  __asm__ volatile(
      "mov x3, %0\n\t"
      "mov x4, %1\n\t"
      "ror x12, x12, #3; ror x12, x12, #13\n\t"
      "ror x12, x12, #51; ror x12, x12, #61\n\t"
      "orr x10, x10, x10\n\t"
      "mov %0, x3"
      : "+r"(result)
      : "r"(&request[0])
      : "cc", "memory", "x3", "x4");
#else
  (void)request;
#endif
  return result;
}

// Whether memcheck, the valgrind tool that reports reads outside an
// allocation, runs this process: only memcheck answers its request for a
// byte's validity bits (1 on success); natively and under valgrind's other
// tools (callgrind, which profiles the code as it really runs) the answer
// stays 0.
bool running_under_memcheck() noexcept {
  unsigned char byte = 0, bits = 0;
  constexpr std::uint64_t get_vbits = 0x4D430008;  // ('M' << 24) + ('C' << 16) + 8
  const std::uint64_t request[6] = {get_vbits, reinterpret_cast<std::uintptr_t>(&byte),
                                    reinterpret_cast<std::uintptr_t>(&bits), 1, 0, 0};
  return client_request(0, request) != 0;
}

// Whether memory in this process can be tagged. The CPU's capability is what
// counts, not whether tag checks are on now: the C library turns them on at
// start-up, but a process may do so later, and the bound is chosen once.
bool memory_can_be_tagged() noexcept {
#if defined(SORBEK_AARCH64) && defined(__linux__)
  constexpr unsigned long hwcap2_mte = 1ul << 18;
  return (getauxval(AT_HWCAP2) & hwcap2_mte) != 0;
#else
  return false;
#endif
}

}  // namespace

ReadBound process_read_bound() noexcept {
  return running_under_memcheck() ? ReadBound::exact
         : memory_can_be_tagged() ? ReadBound::granule
                                  : ReadBound::page;
}

const std::uintptr_t process_read_mask = read_bound_mask(process_read_bound());

const char* read_bound_name(ReadBound bound) noexcept {
  switch (bound) {
    case ReadBound::page: return "page";
    case ReadBound::granule: return "granule";
    case ReadBound::exact: return "exact";
  }
  return "unknown";
}

}  // namespace sorbek::simd
