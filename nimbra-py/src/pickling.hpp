// Pickling and copying, shared by the extension's classes.
//
// Every instance reduces to a call of one hidden class method,
// Tensor._rebuild(kind, *fields), where kind is the class's qualified name.
// Pickle protocols 0-3 name a nested class (nn.Linear) through its parent
// object, and the nn module object cannot be pickled; Tensor is the one class
// every protocol reaches by name, so the entry sits there.
#pragma once

#include <initializer_list>

#include "python.hpp"

namespace nimbra::py {

// What self's __reduce__ returns: (Tensor._rebuild, (kind, *fields)), kind
// being the qualified name of self's class. Steals nothing; NULL with an
// error set on failure.
PyObject* reduce_to_rebuild(PyObject* self, std::initializer_list<PyObject*> fields);

// Tensor.__reduce_ex__(protocol): the shape and the elements in row-major
// order as little-endian f32 bytes; from protocol 5 on as a PickleBuffer, so
// they can travel out of band.
PyObject* tensor_reduce_ex(PyObject* self, PyObject* protocol);

// Tensor._rebuild(kind, *fields) (METH_VARARGS | METH_CLASS): the object
// that a pickle of the class named kind describes.
PyObject* rebuild(PyObject* cls, PyObject* args);

// __copy__ and __deepcopy__(memo): instances never change, so the copy is
// the object itself.
PyObject* copy_self(PyObject* self, PyObject* unused);
// Their entries in a class's method table:
inline constexpr PyMethodDef copy_method{"__copy__", copy_self, METH_NOARGS, "__copy__($self, /)\n--\n\n"};
inline constexpr PyMethodDef deepcopy_method{"__deepcopy__", copy_self, METH_O,
                                             "__deepcopy__($self, memo, /)\n--\n\n"};

}  // namespace nimbra::py
