// Argument parsing and the conversions shared by every entry point.
// All parameters are positional-or-keyword and required.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "python.hpp"

namespace nimbra::py {

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
// Signed 32-bit through the integer-index protocol.
bool to_i32(PyObject* value, std::int32_t& out);
// A size list: any sequence but str, entries converted by to_u64. TypeErrors
// are already named after `name`.
bool to_size_list(PyObject* value, const char* name, std::vector<std::uint64_t>& out);
// Flattens a (nested) list of numbers into f32 values; ValueError for a
// non-list or an item that is neither a number nor a list.
bool to_float_list(PyObject* value, std::vector<float>& out);

}  // namespace nimbra::py
