#include "module/panic.hpp"

#include <string>

#include "module/error.hpp"
#include "module/once.hpp"

namespace sorbek {

namespace {

constexpr const char* panic_doc =
    "\n"
    "The exception raised when native code called from Python faults.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

OnceObject panic_type;

PyObject* make_panic_type() {
  PyObject* type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc, PyExc_BaseException, nullptr);
  if (type != nullptr) return type;
  // The pending error cannot become a call error here: its handling needs this very type.
  std::string text = "Failed to initialize new exception type.";
  Ref error = Ref::steal(PyErr_GetRaisedException());
  if (error) {
    if (std::optional<std::string> described = str_text(error.get())) text.append(": ").append(*described);
    PyErr_Clear();
  }
  throw Fault(std::move(text));
}

}  // namespace

PyObject* panic_exception_type() { return panic_type.get(make_panic_type); }

void raise_panic(std::string_view text) {
  PyObject* type = panic_exception_type();
  Ref message = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!message) return;  // the interpreter's MemoryError stays pending
  Ref args = Ref::steal(PyTuple_New(1));
  if (!args) return;
  PyTuple_SetItem(args.get(), 0, message.release());
  PyErr_SetObject(type, args.get());
}

}  // namespace sorbek
