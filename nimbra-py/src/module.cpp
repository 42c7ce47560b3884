// Entry points of the extension and the module definitions of _nimbra and nn.
#include "module.hpp"

#include <string>

#include "errors.hpp"

namespace nimbra::py {

namespace {

using Initializer = bool (*)(PyObject*);

struct ModuleRecord {
  PyModuleDef def;
  Initializer init;
  const char* kind;   // named in the second-initialisation error
  PyObject* created;  // one strong reference, never released
};

bool init_main_module(PyObject* module);

ModuleRecord main_module{
    {PyModuleDef_HEAD_INIT, "_nimbra", "Main Python module", 0, nullptr, nullptr, nullptr, nullptr, nullptr},
    init_main_module, "nimbra extension modules", nullptr};
ModuleRecord nn_module{
    {PyModuleDef_HEAD_INIT, "nn", "Neural network module", 0, nullptr, nullptr, nullptr, nullptr, nullptr},
    init_nn_module, "nimbra extension modules", nullptr};

// A borrowed reference to the module of `record`, or NULL with an error set.
PyObject* create_module_once(ModuleRecord& record) {
  if (record.created) {
    std::string text = std::string(record.kind) + " may only be initialized once per interpreter process";
    PyErr_SetString(PyExc_ImportError, text.c_str());
    return nullptr;
  }
  PyObject* module = PyModule_Create2(&record.def, PYTHON_ABI_VERSION);
  if (!module) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  if (!record.init(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  if (record.created) {  // filled meanwhile: the first one stays
    Py_DECREF(module);
    return record.created;
  }
  record.created = module;
  return module;
}

// The module's __all__ list (new reference), created when missing.
PyObject* exported_names(PyObject* module) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    all = PyList_New(0);
    if (!all) return nullptr;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return nullptr;
    }
    return all;
  }
  if (!PyList_Check(all)) {
    raise_conversion_error(all, "PyList");
    Py_DECREF(all);
    return nullptr;
  }
  return all;
}

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
  PyObject* version = PyUnicode_FromString("0.1.0");
  if (!version) return false;
  bool ok = export_attribute(module, "__version__", version);
  Py_DECREF(version);
  return ok;
}

PyObject* entry_point(ModuleRecord& record) {
  return guarded([&]() -> PyObject* {
    PyObject* module = create_module_once(record);
    Py_XINCREF(module);
    return module;
  });
}

}  // namespace

bool export_attribute(PyObject* module, const char* name, PyObject* value) {
  PyObject* all = exported_names(module);
  if (!all) return false;
  PyObject* key = PyUnicode_FromString(name);
  bool ok = key && PyList_Append(all, key) == 0;
  Py_XDECREF(key);
  Py_DECREF(all);
  if (!ok) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "could not append __name__ to __all__");
    return false;
  }
  return PyObject_SetAttrString(module, name, value) == 0;
}

bool register_class(PyObject* module, ClassRecord& record) {
  PyTypeObject* type = class_type(record);
  return type && export_attribute(module, record.name, reinterpret_cast<PyObject*>(type));
}

}  // namespace nimbra::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__nimbra() {
  return nimbra::py::entry_point(nimbra::py::main_module);
}

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_nn() {
  return nimbra::py::entry_point(nimbra::py::nn_module);
}
