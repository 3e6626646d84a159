// The module definition and its execution step, which creates the function
// objects one by one so that each also lands in __all__.

#include "json/object_layout.hpp"
#include "json/small_ints.hpp"
#include "json/str_storage.hpp"
#include "module/functions.hpp"
#include "module/interned.hpp"
#include "module/panic.hpp"
#include "module/python.hpp"
#include "module/trampoline.hpp"

namespace sorbek {

namespace {

// Registration order: json_dumps first, then multipart_sections.
PyMethodDef* const module_functions[] = {
    &json_dumps_method,
    &multipart_sections_method,
};

std::string describe_pending() {
  Ref exception = Ref::steal(PyErr_GetRaisedException());
  if (!exception) return "no exception set";
  std::optional<std::string> described = str_text(exception.get());
  if (!described) PyErr_Clear();
  return described.value_or("unprintable exception");
}

}  // namespace

// Adds a function object to the module and its name to __all__; takes over
// the reference to `function`.
Result<> add_function(PyObject* module, Ref function) {
  Ref name = Ref::steal(PyObject_GetAttr(function.get(), interned::name()));
  if (!name) return take_pending();
  if ((PyType_GetFlags(Py_TYPE(name.get())) & Py_TPFLAGS_UNICODE_SUBCLASS) == 0) {
    return CallError::cast_failure(name.get(), "str");
  }
  Ref all = Ref::steal(PyObject_GetAttr(module, interned::all()));
  if (!all) {
    PyObject* raised = PyErr_GetRaisedException();
    if (!PyErr_GivenExceptionMatches(raised, PyExc_AttributeError)) {
      PyErr_SetRaisedException(raised);
      return take_pending();
    }
    Py_XDECREF(raised);
    all = panic_on_null(PyList_New(0));
    if (PyObject_SetAttr(module, interned::all(), all.get()) != 0) return take_pending();
  } else if ((PyType_GetFlags(Py_TYPE(all.get())) & Py_TPFLAGS_LIST_SUBCLASS) == 0) {
    return CallError::cast_failure(all.get(), "list");
  }
  if (PyList_Append(all.get(), name.get()) != 0) panic("could not append __name__ to __all__: " + describe_pending());
  if (PyObject_SetAttr(module, name.get(), function.get()) != 0) return take_pending();
  return {};
}

namespace {

Result<> execute(PyObject* module) {
  // The process-wide objects are made here, where a failure is an import
  // error, and never on a call's error path.
  if (!make_panic_exception_type() || !interned::make_all() || !json::make_small_ints() || !json::find_object_layout() ||
      !json::find_str_storage()) {
    return take_pending();
  }
  PyTypeObject* type = Py_TYPE(module);
  if (type != &PyModule_Type && !PyType_IsSubtype(type, &PyModule_Type)) {
    return CallError::cast_failure(module, "module");
  }
  for (PyMethodDef* method : module_functions) {
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return take_pending();
    Ref function = Ref::steal(PyCMethod_New(method, module, name.get(), nullptr));
    name = Ref();
    if (!function) return take_pending();
    if (auto added = add_function(module, std::move(function)); !added) return std::move(added.error());
  }
  return {};
}

int module_exec(PyObject* module) noexcept {
  return trampoline([&] { return execute(module); }, [](Unit) {}) ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "sorbek_accel",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace sorbek

PyMODINIT_FUNC PyInit_sorbek_accel(void) { return PyModuleDef_Init(&sorbek::module_definition); }
