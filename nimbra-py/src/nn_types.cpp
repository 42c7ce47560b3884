// The classes of the nn submodule: Linear, ReLU and Sigmoid, each with a
// constructor, forward and the call slot.
#include <vector>

#include "args.hpp"
#include "errors.hpp"
#include "module.hpp"
#include "nimbra/nn/activation.hpp"
#include "nimbra/nn/linear.hpp"

namespace nimbra::py {

namespace {

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

template <class Layer>
PyObject* allocate_layer(PyTypeObject* cls, Layer&& layer) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
  return make_instance<Layer>(cls, alloc ? alloc : PyType_GenericAlloc, std::forward<Layer>(layer));
}

#define NIMBRA_LAYER_ENTRIES(Layer, Name)                                                            \
  PyObject* Name##_forward(PyObject* self, PyObject* args, PyObject* kwargs) {                      \
    return apply_layer<Layer>(#Name, "forward", self, args, kwargs);                                 \
  }                                                                                                  \
  PyObject* Name##_call(PyObject* self, PyObject* args, PyObject* kwargs) {                         \
    return apply_layer<Layer>(#Name, "__call__", self, args, kwargs);                                \
  }                                                                                                  \
  PyMethodDef Name##_methods[] = {                                                                   \
      {"forward", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Name##_forward)),       \
       METH_VARARGS | METH_KEYWORDS, "forward($self, input)\n--\n\n"},                               \
      {nullptr, nullptr, 0, nullptr},                                                                \
  };

NIMBRA_LAYER_ENTRIES(nn::Linear, Linear)
NIMBRA_LAYER_ENTRIES(nn::ReLU, ReLU)
NIMBRA_LAYER_ENTRIES(nn::Sigmoid, Sigmoid)

PyObject* Linear_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const ArgSpec spec{"Linear", "__new__", {"in_features", "out_features"}};
    PyObject* argv[2];
    if (!parse_args(spec, args, kwargs, argv)) return nullptr;
    std::uint64_t sizes[2];
    for (int i = 0; i < 2; ++i) {
      if (!to_u64(argv[i], sizes[i])) {
        name_argument_error(spec.params.begin()[i]);
        return nullptr;
      }
    }
    return allocate_layer(cls, nn::Linear::create(sizes[0], sizes[1]));
  });
}

template <class Layer>
PyObject* stateless_new(const char* name, PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const ArgSpec spec{name, "__new__", {}};
    PyObject* none[1];
    if (!parse_args(spec, args, kwargs, none)) return nullptr;
    return allocate_layer(cls, Layer{});
  });
}

PyObject* ReLU_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
  return stateless_new<nn::ReLU>("ReLU", cls, args, kwargs);
}
PyObject* Sigmoid_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
  return stateless_new<nn::Sigmoid>("Sigmoid", cls, args, kwargs);
}

#define NIMBRA_LAYER_SLOTS(Layer, Name)                                 \
  PyType_Slot Name##_slots[] = {                                        \
      {Py_tp_new, reinterpret_cast<void*>(Name##_new)},                 \
      {Py_tp_call, reinterpret_cast<void*>(Name##_call)},               \
      {Py_tp_methods, Name##_methods},                                  \
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Layer>)}, \
      {0, nullptr},                                                     \
  };

NIMBRA_LAYER_SLOTS(nn::Linear, Linear)
NIMBRA_LAYER_SLOTS(nn::ReLU, ReLU)
NIMBRA_LAYER_SLOTS(nn::Sigmoid, Sigmoid)

ClassRecord linear_class{"Linear", "(in_features, out_features)", "Linear layer",
                         static_cast<int>(sizeof(Instance<nn::Linear>)), Linear_slots, {}, {}};
ClassRecord relu_class{"ReLU", "()", "ReLU activation layer", static_cast<int>(sizeof(Instance<nn::ReLU>)),
                       ReLU_slots, {}, {}};
ClassRecord sigmoid_class{"Sigmoid", "()", "Sigmoid activation layer",
                          static_cast<int>(sizeof(Instance<nn::Sigmoid>)), Sigmoid_slots, {}, {}};

}  // namespace

bool init_nn_module(PyObject* module) {
  return register_class(module, linear_class) && register_class(module, relu_class) &&
         register_class(module, sigmoid_class);
}

}  // namespace nimbra::py
