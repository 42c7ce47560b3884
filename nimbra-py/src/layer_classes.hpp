// The classes of the nn submodule: the records the module registers, and the
// entry points every layer class shares.
#pragma once

#include <initializer_list>
#include <utility>

#include "args.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "pickling.hpp"
#include "python.hpp"
#include "tensor_class.hpp"

namespace nimbra::py {

extern ClassRecord linear_class;
extern ClassRecord relu_class;
extern ClassRecord sigmoid_class;

// forward and __call__ share everything but the name in their messages.
template <class Layer>
PyObject* apply_layer(const char* cls, const char* entry, PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const ArgSpec spec{cls, entry, {"input"}};
    PyObject* argv[1];
    if (!parse_args(spec, args, kwargs, argv)) return nullptr;
    if (!check_tensor_arg(argv[0], "input")) return nullptr;
    Borrow<Layer> layer(self);
    Borrow<Tensor> input(argv[0]);
    return wrap_tensor(layer->forward(*input));
  });
}

// A layer's __reduce__: a call of Tensor._rebuild with its fields.
inline PyObject* reduce_layer(PyObject* self, std::initializer_list<PyObject*> fields) {
  PyTypeObject* tensor = class_type(tensor_class);
  return tensor ? reduce_to_rebuild(reinterpret_cast<PyObject*>(tensor), self, fields) : nullptr;
}

template <class Layer>
PyObject* allocate_layer(PyTypeObject* cls, Layer&& layer) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
  return make_instance<Layer>(cls, alloc ? alloc : PyType_GenericAlloc, std::forward<Layer>(layer));
}

}  // namespace nimbra::py
