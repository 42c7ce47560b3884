// Argument parsing and the conversions shared by every entry point.
// All parameters are positional-or-keyword and required.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "python.hpp"

namespace nimbra::py {

// One owned reference, released on every way out of a scope.
class OwnedRef {
 public:
  explicit OwnedRef(PyObject* ref) noexcept : ref_(ref) {}
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(ref_); }
  PyObject* get() const noexcept { return ref_; }
  explicit operator bool() const noexcept { return ref_ != nullptr; }

 private:
  PyObject* ref_;
};

// One exported buffer, released on every way out.
class HeldBuffer {
 public:
  HeldBuffer() { std::memset(&view_, 0, sizeof view_); }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (view_.obj) PyBuffer_Release(&view_);
  }
  bool get(PyObject* exporter) { return PyObject_GetBuffer(exporter, &view_, PyBUF_RECORDS_RO) == 0; }
  const Py_buffer& view() const noexcept { return view_; }

 private:
  Py_buffer view_;
};

struct ArgSpec {
  const char* cls;     // "Tensor"
  const char* name;    // "__new__"
  std::initializer_list<const char*> params;
};

// Fills out[0 .. params) with borrowed references, or raises TypeError with
// the interpreter-style message and returns false.
bool parse_args(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out);

// Rewords a pending TypeError as "argument '<name>': <text>", keeping its
// cause; any other pending exception is left alone.
void name_argument_error(const char* name);

// Unsigned 64-bit through the integer-index protocol. Returns false with the
// interpreter's TypeError or OverflowError pending.
bool to_u64(PyObject* value, std::uint64_t& out);
// to_u64 of every parsed argument of `spec` into out[0 .. params); a TypeError
// is named after its parameter.
bool to_u64_args(const ArgSpec& spec, PyObject* const* argv, std::uint64_t* out);
// Signed 32-bit through the integer-index protocol.
bool to_i32(PyObject* value, std::int32_t& out);
// A size list: any sequence but str, entries converted by to_u64. TypeErrors
// are already named after `name`.
bool to_size_list(PyObject* value, const char* name, std::vector<std::uint64_t>& out);
// A growable array of f32 values that a flattened list is written into.
class FloatSink {
 public:
  FloatSink() = default;
  FloatSink(const FloatSink&) = delete;
  FloatSink& operator=(const FloatSink&) = delete;
  ~FloatSink();
  // Both return false when memory runs out; nothing is lost then.
  bool reserve(std::size_t n) { return capacity_ >= n || grow(n); }
  bool push(float v) {
    if (size_ == capacity_ && !grow(capacity_ ? capacity_ * 2 : 1024)) return false;
    data_[size_++] = v;
    return true;
  }
  const float* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

 private:
  bool grow(std::size_t capacity);
  float* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Flattens a (nested) list of numbers into f32 values; ValueError for a
// non-list or an item that is neither a number nor a list.
bool to_float_list(PyObject* value, FloatSink& out);

}  // namespace nimbra::py
