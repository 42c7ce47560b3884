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

// ---- indexing (tensor_indexing.cpp) ----------------------------------------------
// t[key]: the view basic indexing selects; IndexError or TypeError otherwise.
PyObject* tensor_getitem(PyObject* self, PyObject* key);
// The sequence protocol's item i, through which iteration walks the first
// dimension until IndexError.
PyObject* tensor_item(PyObject* self, Py_ssize_t i);
// iter(t): the interpreter's sequence iterator over tensor_item (which type
// checkers see as __iter__); TypeError at once for a 0-d tensor.
PyObject* tensor_iter(PyObject* self);
// Item assignment and deletion: always TypeError.
int tensor_setitem(PyObject* self, PyObject* key, PyObject* value);

}  // namespace nimbra::py
