#pragma once
// The call boundary: every entry point and the module's execution step run
// their body here. A returned CallError is raised; an internal fault (a
// thrown Fault or any other C++ exception) is raised as PanicException;
// native memory exhaustion is raised as MemoryError. Nothing unwinds into
// the interpreter: a fault while raising aborts the process.

#include <new>

#include "module/error.hpp"

namespace sorbek {

namespace boundary {
void raise_error(CallError&& error) noexcept;
void raise_fault(const Fault& fault) noexcept;
void raise_unknown_fault() noexcept;
void raise_no_memory() noexcept;
// Every failure leaves an exception set; one that somehow did not is a fault.
void ensure_raised() noexcept;
}  // namespace boundary

// Runs `body` (returning Result<T>) and reports whether it succeeded; on
// failure the interpreter's exception is set. `success` receives the value.
template <class Body, class Success>
bool trampoline(Body&& body, Success&& success) noexcept {
  try {
    auto result = body();
    if (result.ok()) {
      success(std::move(result.value()));
      return true;
    }
    boundary::raise_error(std::move(result.error()));
  } catch (const Fault& fault) {
    boundary::raise_fault(fault);
  } catch (const std::bad_alloc&) {
    boundary::raise_no_memory();
  } catch (...) {
    boundary::raise_unknown_fault();
  }
  boundary::ensure_raised();
  return false;
}

// Entry point form: a new reference, or NULL with the exception set.
template <class Body>
PyObject* call_trampoline(Body&& body) noexcept {
  PyObject* object = nullptr;
  trampoline(body, [&](Ref&& result) { object = result.release(); });
  return object;
}

}  // namespace sorbek
