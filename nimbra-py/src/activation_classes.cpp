// The Python classes nn.ReLU and nn.Sigmoid: one class template around a
// stateless activation layer, instantiated once for each.
#include "layer_classes.hpp"
#include "nimbra/nn/activation.hpp"
#include "pickling.hpp"

namespace nimbra::py {

namespace {

template <class Layer, const char* Name>
struct ActivationClass {
  static PyObject* new_instance(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
      const ArgSpec spec{Name, "__new__", {}};
      PyObject* none[1];
      if (!parse_args(spec, args, kwargs, none)) return nullptr;
      return allocate_layer(cls, Layer{});
    });
  }

  static PyObject* forward(PyObject* self, PyObject* args, PyObject* kwargs) {
    return apply_layer<Layer>(Name, "forward", self, args, kwargs);
  }

  static PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return apply_layer<Layer>(Name, "__call__", self, args, kwargs);
  }

  static PyObject* reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return reduce_layer(self, {}); });
  }

  static inline PyMethodDef methods[] = {
      {"forward", keywords_method(forward), METH_VARARGS | METH_KEYWORDS, "forward($self, input)\n--\n\n"},
      {"__reduce__", reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
      copy_method,
      deepcopy_method,
      {nullptr, nullptr, 0, nullptr},
  };

  static inline PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(new_instance)},
      {Py_tp_call, reinterpret_cast<void*>(call)},
      {Py_tp_methods, methods},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Layer>)},
      {0, nullptr},
  };
};

constexpr char relu_name[] = "ReLU";
constexpr char sigmoid_name[] = "Sigmoid";

}  // namespace

ClassRecord relu_class{relu_name, "()", "ReLU activation layer", static_cast<int>(sizeof(Instance<nn::ReLU>)),
                       ActivationClass<nn::ReLU, relu_name>::slots, nullptr, {}, {}};
ClassRecord sigmoid_class{sigmoid_name, "()", "Sigmoid activation layer",
                          static_cast<int>(sizeof(Instance<nn::Sigmoid>)),
                          ActivationClass<nn::Sigmoid, sigmoid_name>::slots, nullptr, {}, {}};

}  // namespace nimbra::py
