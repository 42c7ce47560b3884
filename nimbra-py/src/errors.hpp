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

// The qualified name of obj's type, for conversion messages.
std::string type_qualname(PyObject* obj);

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
