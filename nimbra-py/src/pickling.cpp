// Pickling and copying, shared by the extension's classes: the one rebuild
// entry that every pickle of the extension calls, and copies.
#include "pickling.hpp"

#include "args.hpp"
#include "classes.hpp"
#include "errors.hpp"

namespace nimbra::py {

PyObject* reduce_to_rebuild(PyObject* host, PyObject* self, std::initializer_list<PyObject*> fields) {
  OwnedRef entry(PyObject_GetAttrString(host, "_rebuild"));
  OwnedRef kind(PyType_GetQualName(Py_TYPE(self)));
  OwnedRef args(PyTuple_New(static_cast<Py_ssize_t>(1 + fields.size())));
  if (!entry || !kind || !args) return nullptr;
  Py_ssize_t i = 0;
  if (PyTuple_SetItem(args.get(), i++, Py_NewRef(kind.get())) < 0) return nullptr;
  for (PyObject* field : fields)
    if (PyTuple_SetItem(args.get(), i++, Py_NewRef(field)) < 0) return nullptr;
  return PyTuple_Pack(2, entry.get(), args.get());
}

PyObject* rebuild(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const Py_ssize_t n = PyTuple_Size(args);
    if (n < 0) return nullptr;
    PyObject* kind = n > 0 ? PyTuple_GetItem(args, 0) : nullptr;
    if (!kind || !PyUnicode_Check(kind)) {
      PyErr_SetString(PyExc_TypeError, "Tensor._rebuild() takes the qualified name of a class first");
      return nullptr;
    }
    OwnedRef fields(PyTuple_GetSlice(args, 1, n));
    if (!fields) return nullptr;
    // Every class of the module exists once it is imported, and a pickle can
    // name no other.
    for (const ClassRecord* record : made_classes()) {
      PyObject* type = reinterpret_cast<PyObject*>(record->type);
      OwnedRef name(PyType_GetQualName(record->type));
      const int same = name ? PyObject_RichCompareBool(kind, name.get(), Py_EQ) : -1;
      if (same < 0) return nullptr;
      if (same) return record->rebuild ? record->rebuild(fields.get()) : PyObject_Call(type, fields.get(), nullptr);
    }
    PyErr_Format(PyExc_ValueError, "Tensor._rebuild(): no class of _nimbra is named %R", kind);
    return nullptr;
  });
}

PyObject* copy_self(PyObject* self, PyObject*) { return Py_NewRef(self); }

}  // namespace nimbra::py
