// The Python class Tensor as the rest of the binding sees it: its record, and
// the conversions other classes need to take and return tensors.
#pragma once

#include "classes.hpp"
#include "nimbra/tensor.hpp"
#include "python.hpp"

namespace nimbra::py {

extern ClassRecord tensor_class;

// Wraps a core result in a new Tensor object of the module's Tensor type.
PyObject* wrap_tensor(Tensor&& tensor);
// The tensor-reference conversion of a named argument: false with the named
// TypeError pending when `value` is not a Tensor.
bool check_tensor_arg(PyObject* value, const char* name);

}  // namespace nimbra::py
