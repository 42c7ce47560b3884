// Turning core failures into Python exceptions. Every entry point runs its
// body through `guarded`, so no C++ exception reaches the interpreter.
#pragma once

#include <new>
#include <string>

#include "nimbra/error.hpp"
#include "nimbra/fault.hpp"
#include "python.hpp"

namespace nimbra::py {

// Raises ValueError(prefix + display text) and returns NULL.
PyObject* raise_tensor_error(const char* prefix, const TensorError& error);

// Raises a new exception of `type` with `text`, whose __cause__ is `cause`
// (which may be NULL). Steals nothing.
void raise_with_cause(PyObject* type, const std::string& text, PyObject* cause);

// Raises `type` with a message that is a Python str (new reference taken
// over), keeping `cause` (may be NULL) as its __cause__.
void raise_with_cause(PyObject* type, PyObject* message, PyObject* cause);

void set_exception_from_current() noexcept;

template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    set_exception_from_current();
    return {};
  }
}

}  // namespace nimbra::py
