#include "nn_module.hpp"

#include "layer_classes.hpp"

namespace nimbra::py {

namespace {

bool init_nn_module(PyObject* module) {
  return register_class(module, linear_class, "nn") && register_class(module, relu_class, "nn") &&
         register_class(module, sigmoid_class, "nn");
}

}  // namespace

ModuleRecord nn_module{
    {PyModuleDef_HEAD_INIT, "nn", "Neural network module", 0, nullptr, nullptr, nullptr, nullptr, nullptr},
    init_nn_module, "nimbra extension modules", nullptr};

}  // namespace nimbra::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_nn() {
  return nimbra::py::module_entry_point(nimbra::py::nn_module);
}
