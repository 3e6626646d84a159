#include "module/panic.hpp"

#include "module/process_object.hpp"
#include "module/ref.hpp"

namespace sorbek {

namespace {

constexpr const char* panic_doc =
    "\n"
    "The exception raised when native code called from Python faults.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

ProcessObject panic_type;

PyObject* new_panic_type() noexcept {
  return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc, PyExc_BaseException, nullptr);
}

}  // namespace

bool make_panic_exception_type() noexcept { return panic_type.ensure(new_panic_type); }

PyObject* panic_exception_type() noexcept { return panic_type.get(); }

void raise_panic(std::string_view text) noexcept {
  // Only a fault inside the first execution step itself can come before the
  // type; then making it is tried once more, and its failure is the error.
  if (!make_panic_exception_type()) return;
  Ref message = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!message) return;  // the interpreter's MemoryError stays pending
  Ref args = Ref::steal(PyTuple_New(1));
  if (!args) return;
  PyTuple_SetItem(args.get(), 0, message.release());
  PyErr_SetObject(panic_type.get(), args.get());
}

}  // namespace sorbek
