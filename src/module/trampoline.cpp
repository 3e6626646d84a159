#include "module/trampoline.hpp"

#include <cstdio>
#include <cstdlib>

#include "module/panic.hpp"

namespace sorbek::boundary {

namespace {

constexpr const char* trap_text = "uncaught panic at ffi boundary";
constexpr const char* generic_fault = "A fault occurred in native code called from Python.";

// Raising must not fault: if it does, the process cannot be kept consistent.
template <class Raise>
void guarded(Raise&& raise) noexcept {
  try {
    raise();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sorbek_accel: %s: %s\n", trap_text, e.what());
    std::abort();
  } catch (...) {
    std::fprintf(stderr, "sorbek_accel: %s\n", trap_text);
    std::abort();
  }
}

}  // namespace

void raise_error(CallError&& error) noexcept {
  guarded([&] { std::move(error).raise(); });
}

void raise_fault(const Fault& fault) noexcept {
  guarded([&] { raise_panic(fault.has_text() ? fault.text() : generic_fault); });
}

void raise_unknown_fault() noexcept {
  guarded([&] { raise_panic(generic_fault); });
}

void raise_no_memory() noexcept { PyErr_NoMemory(); }

void ensure_raised() noexcept {
  if (PyErr_Occurred() == nullptr) {
    guarded([] { raise_panic("native code reported a failure without setting an exception"); });
  }
}

}  // namespace sorbek::boundary
