#pragma once
// A process-wide object made once, on first use, under the interpreter lock.
//
// The fast path is one atomic load. A thread that has to make the object
// releases the interpreter lock before it waits at the gate, so that a thread
// already making it inside the gate can take the lock back; the maker holds
// the gate and then the interpreter lock, never the other way round.

#include <atomic>
#include <exception>
#include <mutex>

#include "module/python.hpp"

namespace sorbek {

class OnceObject {
 public:
  // Returns the object (borrowed), calling `make` (which returns a new
  // reference or throws) if no thread has made it yet.
  template <class Make>
  PyObject* get(Make&& make) {
    if (PyObject* object = object_.load(std::memory_order_acquire)) [[likely]] return object;
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    {
      std::lock_guard<std::mutex> gate(gate_);
      if (object_.load(std::memory_order_acquire) == nullptr) {
        PyEval_RestoreThread(state);
        try {
          object_.store(make(), std::memory_order_release);
        } catch (...) {
          failure = std::current_exception();
        }
        state = PyEval_SaveThread();
      }
    }
    PyEval_RestoreThread(state);
    if (failure) std::rethrow_exception(failure);
    return object_.load(std::memory_order_acquire);
  }

 private:
  std::atomic<PyObject*> object_{nullptr};
  std::mutex gate_;
};

}  // namespace sorbek
