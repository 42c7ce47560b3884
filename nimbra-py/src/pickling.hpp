// Pickling and copying, shared by the extension's classes.
//
// Every instance reduces to a call of one hidden class method,
// Tensor._rebuild(kind, *fields), where kind is the class's qualified name.
// Pickle protocols 0-3 name a nested class (nn.Linear) through its parent
// object, and the nn module object cannot be pickled; Tensor is the one class
// every protocol reaches by name, so the entry sits there. What rebuilds each
// class from its fields is in its record (classes.hpp).
#pragma once

#include <initializer_list>

#include "python.hpp"

namespace nimbra::py {

// What self's __reduce__ returns: (host._rebuild, (kind, *fields)), kind
// being the qualified name of self's class and host the class Tensor. Steals
// nothing; NULL with an error set on failure.
PyObject* reduce_to_rebuild(PyObject* host, PyObject* self, std::initializer_list<PyObject*> fields);

// Tensor._rebuild(kind, *fields) (METH_VARARGS | METH_CLASS): the object
// that a pickle of the class named kind describes, made by the rebuild entry
// of that class's record.
PyObject* rebuild(PyObject* cls, PyObject* args);

// __copy__ and __deepcopy__(memo): instances never change, so the copy is
// the object itself.
PyObject* copy_self(PyObject* self, PyObject* unused);
// Their entries in a class's method table:
inline constexpr PyMethodDef copy_method{"__copy__", copy_self, METH_NOARGS, "__copy__($self, /)\n--\n\n"};
inline constexpr PyMethodDef deepcopy_method{"__deepcopy__", copy_self, METH_O,
                                             "__deepcopy__($self, memo, /)\n--\n\n"};

}  // namespace nimbra::py
