// What every Python class of the extension shares: its once-per-process type
// object, the instance layout (header, payload, borrow counter), allocation
// and deallocation.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "python.hpp"

namespace nimbra::py {

struct ClassRecord {
  const char* name;            // "Tensor"
  const char* text_signature;  // "(data, shape)"
  const char* doc;             // "Python wrapper for Nimbra Tensor"
  int basicsize;
  PyType_Slot* own_slots;      // terminated by {0, nullptr}; methods and getters included
  // What makes an instance from the fields of its pickle (Tensor._rebuild);
  // nullptr: the class is called with them.
  PyObject* (*rebuild)(PyObject* fields) = nullptr;
  // Filled on first need and kept for the life of the process.
  std::string composed_doc;
  std::string type_name;
  PyTypeObject* type = nullptr;
  allocfunc alloc = nullptr;
};

// The type object of a class, created on first call. On failure raises
// RuntimeError "An error occurred while initializing class <name>" with the
// underlying error as its cause, and returns NULL.
PyTypeObject* class_type(ClassRecord& record);
// Whether class_type made `type`.
bool is_own_class(PyTypeObject* type);
// The records of every class class_type has made, in the order made.
const std::vector<ClassRecord*>& made_classes();

// Raises TypeError "'<type qualname>' object cannot be converted to '<target>'"
// for `value` and returns NULL; the extension's own classes go by their plain
// names. The name is used as a Python str, so any character in it survives.
PyObject* raise_conversion_error(PyObject* value, const char* target);

// Method tables hold every entry as a PyCFunction; the interpreter calls an
// entry flagged METH_KEYWORDS with the keyword dictionary as well.
inline PyCFunction keywords_method(PyCFunctionWithKeywords fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// Instance layout shared by every class: the payload, then the borrow counter.
template <class Payload>
struct Instance {
  PyObject_HEAD
  Payload value;
  std::size_t borrows;
};

// Counts a reader of an instance for the duration of a call. Instances are
// immutable, so this never refuses.
template <class Payload>
class Borrow {
 public:
  explicit Borrow(PyObject* obj) : obj_(reinterpret_cast<Instance<Payload>*>(obj)) { ++obj_->borrows; }
  ~Borrow() { --obj_->borrows; }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  const Payload& operator*() const { return obj_->value; }
  const Payload* operator->() const { return &obj_->value; }

 private:
  Instance<Payload>* obj_;
};

// Allocates an instance of `type` through its allocation slot and moves the
// payload in. Returns NULL with the pending error (or SystemError when the
// allocator set none); the payload is then dropped.
template <class Payload>
PyObject* make_instance(PyTypeObject* type, allocfunc alloc, Payload&& value) {
  PyObject* obj = alloc(type, 0);
  if (!obj) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  auto* inst = reinterpret_cast<Instance<Payload>*>(obj);
  new (&inst->value) Payload(std::forward<Payload>(value));
  inst->borrows = 0;
  return obj;
}

// Deallocation shared by every class: drop the payload, free through the
// type's tp_free, then drop the instance's reference to its heap type.
template <class Payload>
void dealloc_instance(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  reinterpret_cast<Instance<Payload>*>(obj)->value.~Payload();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(obj);
  Py_DECREF(type);
}

}  // namespace nimbra::py
