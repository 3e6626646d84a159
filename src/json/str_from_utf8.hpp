#pragma once
// A str from valid UTF-8, made the fastest way its characters allow: ASCII
// copied by CPython, anything wider written into the str in place (see
// str_storage.hpp), and where that cannot be, as str_pieces.hpp says.

#include <bit>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

#include "json/str_pieces.hpp"
#include "json/str_storage.hpp"
#include "json/transcode.hpp"
#include "module/error.hpp"
#include "module/pymem_array.hpp"
#include "module/python.hpp"
#include "module/ref.hpp"

namespace sorbek::json {

namespace detail {

// A native buffer for UTF-16 pieces, grown to the longest piece met.
class Utf16Scratch {
 public:
  Utf16Scratch() noexcept = default;
  Utf16Scratch(const Utf16Scratch&) = delete;
  Utf16Scratch& operator=(const Utf16Scratch&) = delete;
  ~Utf16Scratch() { PyMem_Free(units_); }
  std::uint16_t* room(std::size_t count) {
    if (count > capacity_) {
      PyMem_Free(units_);
      units_ = static_cast<std::uint16_t*>(PyMem_Malloc(count * sizeof(std::uint16_t)));
      capacity_ = units_ != nullptr ? count : 0;
      if (units_ == nullptr) throw std::bad_alloc();
    }
    return units_;
  }
  void release() noexcept {
    PyMem_Free(units_);
    units_ = nullptr;
    capacity_ = 0;
  }

 private:
  std::uint16_t* units_ = nullptr;
  std::size_t capacity_ = 0;
};

// The str of one piece (a new reference, or NULL with the exception set);
// rewrites a Latin-1 piece's range in place.
inline PyObject* piece_str(char* data, const Piece& piece, Utf16Scratch& scratch) {
  char* text = data + piece.begin;
  const std::size_t size = piece.end - piece.begin;
  switch (piece.form) {
    case PieceForm::ascii:
      return PyUnicode_DecodeASCII(text, static_cast<Py_ssize_t>(size), nullptr);
    case PieceForm::latin1:
      return PyUnicode_DecodeLatin1(text, static_cast<Py_ssize_t>(transcode::to_latin1(text, size, text)),
                                    nullptr);
    case PieceForm::utf16: {
      std::uint16_t* units = scratch.room(size);
      const std::size_t count = transcode::to_utf16(text, size, units, size);
      int order = std::endian::native == std::endian::little ? -1 : 1;
      return PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(units),
                                   static_cast<Py_ssize_t>(count * sizeof(std::uint16_t)), nullptr, &order);
    }
  }
  return nullptr;
}

// Owned references to the pieces made so far, released on every path.
class Pieces {
 public:
  Pieces() noexcept = default;
  Pieces(const Pieces&) = delete;
  Pieces& operator=(const Pieces&) = delete;
  ~Pieces() {
    for (std::size_t i = taken_; i < items_.size(); ++i) Py_DECREF(items_[i]);
  }
  void push_back(Ref piece) {
    items_.push_back(piece.get());  // may throw: `piece` still owns it then
    (void)piece.release();
  }
  std::size_t size() const noexcept { return items_.size() - taken_; }
  // The only piece, handed over.
  PyObject* take_only() noexcept { return items_[taken_++]; }
  // The pieces as a list, which takes over every reference; NULL with the
  // exception set if it cannot be made.
  PyObject* take_list() noexcept {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items_.size()));
    if (list == nullptr) return nullptr;
    for (; taken_ < items_.size(); ++taken_) PyList_SetItem(list, static_cast<Py_ssize_t>(taken_), items_[taken_]);
    return list;
  }

 private:
  PyMemArray<PyObject*> items_;
  std::size_t taken_ = 0;
};

// Room for the blocks of a short output without an allocation.
template <std::size_t Inline>
class BlockList {
 public:
  void push_back(const TextBlock& block) {
    if (size_ < Inline) {
      inline_[size_++] = block;
      return;
    }
    if (size_ == Inline) {
      for (const TextBlock& b : inline_) heap_.push_back(b);
    }
    heap_.push_back(block);
    ++size_;
  }
  std::size_t size() const noexcept { return size_; }
  const TextBlock& operator[](std::size_t i) const noexcept { return size_ <= Inline ? inline_[i] : heap_[i]; }

 private:
  TextBlock inline_[Inline];
  PyMemArray<TextBlock> heap_;
  std::size_t size_ = 0;
};

}  // namespace detail

// The str of the `size` bytes of valid UTF-8 at `data`, whose stats are
// `stats`, written into the str itself where it can be (see str_storage.hpp)
// whatever the mix of characters: ASCII is copied and wider text recoded at
// memory speed over ASCII, decoding wider characters faster than CPython's
// UTF-8 decoder, and nothing but the str is allocated. False where it is not
// made so (a CPython without such strs, a str of one character); true
// otherwise, with the new reference in `str`, or NULL there and the
// exception pending where it could not be made.
inline bool str_in_place(const char* data, std::size_t size, const transcode::TextStats& stats, PyObject*& str) {
  using transcode::Width;
  const Width width = transcode::width_of_max_byte(stats.max);
  const std::size_t length = size - stats.continuation;
  WritableStr made;
  const StrWidth str_width = width == Width::ascii    ? StrWidth::ascii
                             : width == Width::latin1 ? StrWidth::latin1
                             : width == Width::bmp    ? StrWidth::ucs2
                                                      : StrWidth::ucs4;
  if (!make_writable_str(str_width, length, made)) return false;
  if (made.str) {
    std::size_t written;
    switch (str_width) {
      case StrWidth::ascii:
        std::memcpy(made.characters, data, size);
        written = size;
        break;
      case StrWidth::latin1: written = transcode::to_latin1(data, size, made.characters); break;
      case StrWidth::ucs2:
        written = transcode::to_utf16(data, size, reinterpret_cast<std::uint16_t*>(made.characters), length);
        break;
      case StrWidth::ucs4:
        written = transcode::to_ucs4(data, size, reinterpret_cast<std::uint32_t*>(made.characters), length);
        break;
    }
    if (written != length) {
      throw Fault("a str written in place took " + std::to_string(written) + " of its " + std::to_string(length) +
                  " characters");
    }
  }
  str = made.str.release();
  return true;
}

// A new reference, or NULL with the interpreter's exception set. May rewrite
// the text. Calls release_text() once the text is no longer needed and
// before pieces are joined, so that the text's storage is not held while the
// str is allocated. Throws std::bad_alloc when a native buffer cannot be had.
template <class Release>
PyObject* str_from_utf8(char* data, std::size_t size, Release&& release_text) {
  const transcode::TextStats stats = transcode::stats(data, size);
  if (PyObject* str; str_in_place(data, size, stats, str)) return str;
  // ASCII text where strs are not written in place, which CPython copies.
  if (stats.max < 0x80) return PyUnicode_DecodeASCII(data, static_cast<Py_ssize_t>(size), nullptr);
  detail::Utf16Scratch scratch;
  if (size <= piece_block) {
    // One block (most responses): no list of blocks to keep (building one
    // costs a small payload about 6% more instructions).
    const StrRoute route = route_for(data, size, stats.max, stats.high);
    const PieceForm form = route == StrRoute::ascii    ? PieceForm::ascii
                           : route == StrRoute::latin1 ? PieceForm::latin1
                                                       : PieceForm::utf16;
    if (route == StrRoute::utf8) return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), nullptr);
    return detail::piece_str(data, Piece{form, 0, size}, scratch);
  }
  detail::BlockList<8> blocks;
  scan_blocks(data, size, blocks);
  switch (choose_route(data, blocks)) {
    case StrRoute::ascii:
      return detail::piece_str(data, Piece{PieceForm::ascii, 0, size}, scratch);
    case StrRoute::latin1:
      return detail::piece_str(data, Piece{PieceForm::latin1, 0, size}, scratch);
    case StrRoute::utf8:
      return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), nullptr);
    case StrRoute::pieces:
      break;
  }
  detail::Pieces pieces;
  bool failed = false;
  emit_pieces(blocks, [&](const Piece& piece) {
    if (failed) return;
    Ref str = Ref::steal(detail::piece_str(data, piece, scratch));
    if (!str) {
      failed = true;
      return;
    }
    pieces.push_back(std::move(str));
  });
  if (failed) return nullptr;
  if (pieces.size() == 1) return pieces.take_only();
  scratch.release();
  release_text();
  Ref list = Ref::steal(pieces.take_list());
  if (!list) return nullptr;
  Ref empty = Ref::steal(PyUnicode_FromStringAndSize("", 0));
  if (!empty) return nullptr;
  return PyUnicode_Join(empty.get(), list.get());
}

}  // namespace sorbek::json
