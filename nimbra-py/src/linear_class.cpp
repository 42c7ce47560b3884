// The Python class nn.Linear: a fully connected layer with random parameters.
#include "layer_classes.hpp"
#include "nimbra/nn/linear.hpp"

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

PyObject* linear_forward(PyObject* self, PyObject* args, PyObject* kwargs) {
  return apply_layer<nn::Linear>("Linear", "forward", self, args, kwargs);
}

PyObject* linear_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return apply_layer<nn::Linear>("Linear", "__call__", self, args, kwargs);
}

PyMethodDef linear_methods[] = {
    {"forward", keywords_method(linear_forward), METH_VARARGS | METH_KEYWORDS, "forward($self, input)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot linear_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(linear_new)},
    {Py_tp_call, reinterpret_cast<void*>(linear_call)},
    {Py_tp_methods, linear_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<nn::Linear>)},
    {0, nullptr},
};

}  // namespace

ClassRecord linear_class{"Linear", "(in_features, out_features)", "Linear layer",
                         static_cast<int>(sizeof(Instance<nn::Linear>)), linear_slots, {}, {}};

}  // namespace nimbra::py
