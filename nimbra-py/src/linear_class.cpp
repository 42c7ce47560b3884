// The Python class nn.Linear: a fully connected layer, with random parameters
// or trained ones.
#include "layer_classes.hpp"
#include "nimbra/nn/linear.hpp"
#include "pickling.hpp"

namespace nimbra::py {

namespace {

PyObject* linear_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const ArgSpec spec{"Linear", "__new__", {"in_features", "out_features"}};
    PyObject* argv[2];
    if (!parse_args(spec, args, kwargs, argv)) return nullptr;
    std::uint64_t sizes[2];
    if (!to_u64_args(spec, argv, sizes)) return nullptr;
    return allocate_layer(cls, nn::Linear::create(sizes[0], sizes[1]));
  });
}

PyObject* linear_from_weights(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const ArgSpec spec{"Linear", "from_weights", {"weight", "bias"}};
    PyObject* argv[2];
    if (!parse_args(spec, args, kwargs, argv)) return nullptr;
    if (!check_tensor_arg(argv[0], "weight") || !check_tensor_arg(argv[1], "bias")) return nullptr;
    Borrow<Tensor> weight(argv[0]);
    Borrow<Tensor> bias(argv[1]);
    Result<nn::Linear> made = nn::Linear::from_parameters(*weight, *bias);
    if (!made) return raise_tensor_error("Linear.from_weights failed: ", made.error());
    PyTypeObject* type = class_type(linear_class);
    if (!type) return nullptr;
    return allocate_layer(type, std::move(made).value());
  });
}

PyObject* linear_forward(PyObject* self, PyObject* args, PyObject* kwargs) {
  return apply_layer<nn::Linear>("Linear", "forward", self, args, kwargs);
}

PyObject* linear_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return apply_layer<nn::Linear>("Linear", "__call__", self, args, kwargs);
}

// ---- properties -------------------------------------------------------------

PyObject* get_weight(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Borrow<nn::Linear> layer(self);
    return wrap_tensor(Tensor(layer->weight()));
  });
}

PyObject* get_bias(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Borrow<nn::Linear> layer(self);
    if (!layer->bias()) Py_RETURN_NONE;
    return wrap_tensor(Tensor(*layer->bias()));
  });
}

PyObject* get_in_features(PyObject* self, void*) {
  Borrow<nn::Linear> layer(self);
  return PyLong_FromUnsignedLongLong(layer->in_features());
}

PyObject* get_out_features(PyObject* self, void*) {
  Borrow<nn::Linear> layer(self);
  return PyLong_FromUnsignedLongLong(layer->out_features());
}

// ---- tables -----------------------------------------------------------------

// The weight and bias; unpickling rebuilds the layer from them through
// from_weights, drawing no random numbers.
PyObject* linear_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    OwnedRef weight(PyObject_GetAttrString(self, "weight"));
    OwnedRef bias(PyObject_GetAttrString(self, "bias"));
    if (!weight || !bias) return nullptr;
    return reduce_layer(self, {weight.get(), bias.get()});
  });
}

// The rebuild entry of the record: through from_weights.
PyObject* rebuild_linear(PyObject* fields) {
  PyTypeObject* type = class_type(linear_class);
  if (!type) return nullptr;
  OwnedRef from_weights(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "from_weights"));
  return from_weights ? PyObject_Call(from_weights.get(), fields, nullptr) : nullptr;
}

PyMethodDef linear_methods[] = {
    {"from_weights", keywords_method(linear_from_weights), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_weights(weight, bias)\n--\n\nCreate a layer over trained parameters, shared, not copied: "
     "weight [out_features, in_features] and bias [out_features]"},
    {"forward", keywords_method(linear_forward), METH_VARARGS | METH_KEYWORDS, "forward($self, input)\n--\n\n"},
    {"__reduce__", linear_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
    copy_method,
    deepcopy_method,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef linear_getset[] = {
    {"weight", get_weight, nullptr, "The weight [out_features, in_features], shared with the layer", nullptr},
    {"bias", get_bias, nullptr, "The bias [out_features], shared with the layer", nullptr},
    {"in_features", get_in_features, nullptr, "Size of each input row", nullptr},
    {"out_features", get_out_features, nullptr, "Size of each output row", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot linear_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(linear_new)},
    {Py_tp_call, reinterpret_cast<void*>(linear_call)},
    {Py_tp_methods, linear_methods},
    {Py_tp_getset, linear_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<nn::Linear>)},
    {0, nullptr},
};

}  // namespace

ClassRecord linear_class{"Linear", "(in_features, out_features)", "Linear layer",
                         static_cast<int>(sizeof(Instance<nn::Linear>)), linear_slots, rebuild_linear, {}, {}};

}  // namespace nimbra::py
