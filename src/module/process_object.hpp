#pragma once
// A process-wide object (the fault type, an interned name), made by the
// module's execution step and kept for the life of the process.
//
// It is made at import, not on first use: a first use can be on an error
// path (at the recursion limit, out of memory), where making a new object
// would fail in place of the real error. Making happens under the
// interpreter lock, which is never released for it, so that no call ever
// gives the lock away while it holds borrowed references.

#include <atomic>

#include "module/python.hpp"

namespace sorbek {

class ProcessObject {
 public:
  // The object (borrowed), or NULL before the first execution step.
  PyObject* get() const noexcept { return object_.load(std::memory_order_acquire); }

  // Makes the object unless it is made already. `make` returns a new
  // reference, or NULL with the exception pending; so does this, as false.
  template <class Make>
  bool ensure(Make&& make) noexcept {
    if (get() != nullptr) return true;
    PyObject* made = make();
    if (made == nullptr) return false;
    PyObject* expected = nullptr;
    // Every interpreter that loads the module shares one lock, so no other
    // thread can be here; should one ever be, its object wins and ours goes.
    if (!object_.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) Py_DECREF(made);
    return true;
  }

 private:
  std::atomic<PyObject*> object_{nullptr};
};

}  // namespace sorbek
