// The extension's main module _nimbra: the class Tensor, the nn submodule,
// the functions behind the nimbra package's reductions and accurate
// activations, and the version.
#include "activation_functions.hpp"
#include "errors.hpp"
#include "nn_module.hpp"
#include "reduction_functions.hpp"
#include "registration.hpp"
#include "tensor_class.hpp"

namespace nimbra::py {

namespace {

bool init_main_module(PyObject* module);

ModuleRecord main_module{
    {PyModuleDef_HEAD_INIT, "_nimbra", "Main Python module", 0, nullptr, nullptr, nullptr, nullptr, nullptr},
    init_main_module, "nimbra extension modules", nullptr};

bool attach_submodule(PyObject* module, ModuleRecord& record) {
  if (record.created) {
    PyErr_SetString(PyExc_ImportError,
                    "the nn submodule already exists because this library was first imported under "
                    "the name 'nn'; import _nimbra first and use _nimbra.nn");
    return false;
  }
  PyObject* sub = create_module_once(record);
  if (!sub) return false;
  PyObject* name = PyObject_GetAttrString(sub, "__name__");
  if (!name) return false;
  if (!PyUnicode_Check(name)) {
    raise_conversion_error(name, "PyString");
    Py_DECREF(name);
    return false;
  }
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, nullptr);
  bool ok = utf8 && export_attribute(module, utf8, sub);
  Py_DECREF(name);
  return ok;
}

bool init_main_module(PyObject* module) {
  if (!register_class(module, tensor_class)) return false;
  if (!attach_submodule(module, nn_module)) return false;
  if (!add_reduction_functions(module)) return false;
  if (!add_activation_functions(module)) return false;
  PyObject* version = PyUnicode_FromString(NIMBRA_VERSION);
  if (!version) return false;
  bool ok = export_attribute(module, "__version__", version);
  Py_DECREF(version);
  return ok;
}

}  // namespace

}  // namespace nimbra::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__nimbra() {
  return nimbra::py::module_entry_point(nimbra::py::main_module);
}
