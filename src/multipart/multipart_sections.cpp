// multipart_sections(body, delimiter): the (head, payload) pairs of every part
// of a multipart body, each head and payload copied once into a bytes object.

#include <string_view>
#include <utility>

#include "module/arguments.hpp"
#include "module/functions.hpp"
#include "module/pymem_array.hpp"
#include "module/trampoline.hpp"
#include "multipart/sections.hpp"

namespace sorbek {

namespace {

constexpr std::string_view parameters[] = {"body", "delimiter"};
const FunctionDescription description{"multipart_sections", parameters, {}, std::nullopt, 0, 2};

// The (head, payload) references collected during the walk; owns both
// references of every pair it holds until they are taken.
class PairArray {
 public:
  PairArray() = default;
  PairArray(const PairArray&) = delete;
  PairArray& operator=(const PairArray&) = delete;
  ~PairArray() {
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
      Py_XDECREF(pairs_[i].head);
      Py_XDECREF(pairs_[i].payload);
    }
  }
  void push(Ref head, Ref payload) {
    pairs_.push_back({head.get(), payload.get()});
    (void)head.release();
    (void)payload.release();
  }
  std::size_t size() const noexcept { return pairs_.size(); }
  PyObject* take_head(std::size_t i) noexcept { return std::exchange(pairs_[i].head, nullptr); }
  PyObject* take_payload(std::size_t i) noexcept { return std::exchange(pairs_[i].payload, nullptr); }

 private:
  struct Pair {
    PyObject* head;
    PyObject* payload;
  };
  PyMemArray<Pair> pairs_;
};

Ref bytes_from(std::string_view range) {
  return panic_on_null(PyBytes_FromStringAndSize(range.data(), static_cast<Py_ssize_t>(range.size())));
}

void set_item(int status) {
  if (status != 0) panic("could not fill a new container");
}

Result<Ref> multipart_sections(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[2] = {nullptr, nullptr};
  if (auto bound = extract_arguments_fastcall(description, args, nargs, kwnames, slots); !bound) {
    return std::move(bound.error());
  }
  auto body = extract_bytes(slots[0], parameters[0]);
  if (!body) return std::move(body.error());
  auto delimiter = extract_bytes(slots[1], parameters[1]);
  if (!delimiter) return std::move(delimiter.error());
  if (delimiter->empty()) return CallError::type_error("empty multipart delimiter");

  PairArray pairs;
  const multipart::Searcher searcher(*delimiter);
  multipart::split_sections(*body, searcher, [&](std::string_view head, std::string_view payload) {
    Ref head_bytes = bytes_from(head);
    Ref payload_bytes = bytes_from(payload);
    pairs.push(std::move(head_bytes), std::move(payload_bytes));
  });

  const std::size_t count = pairs.size();
  Ref list = panic_on_null(PyList_New(static_cast<Py_ssize_t>(count)));
  for (std::size_t i = 0; i < count; ++i) {
    Ref tuple = panic_on_null(PyTuple_New(2));
    set_item(PyTuple_SetItem(tuple.get(), 0, pairs.take_head(i)));
    set_item(PyTuple_SetItem(tuple.get(), 1, pairs.take_payload(i)));
    set_item(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple.release()));
  }
  return list;
}

PyObject* multipart_sections_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_trampoline([&] { return multipart_sections(args, nargs, kwnames); });
}

}  // namespace

PyMethodDef multipart_sections_method = {
    "multipart_sections",
    as_method<&multipart_sections_entry>(),
    function_flags,
    "multipart_sections(body, delimiter)\n"
    "--\n"
    "\n"
    "Multipart section splitting matching `sorbek.formdata._py_sections`\n"
    "exactly: sections after each delimiter, stop at the closing `--`\n"
    "marker, strip one leading CRLF, split head/payload at the first blank\n"
    "line, strip one trailing CRLF from the payload. Semantic parsing\n"
    "(dispositions, File construction) stays in Python \xe2\x80\x94 this only trades\n"
    "`bytes.split`'s section copies for SIMD scanning (memchr) plus a\n"
    "single copy per head/payload.",
};

}  // namespace sorbek
