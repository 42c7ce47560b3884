#include "registration.hpp"

#include <cstdint>
#include <string>

#include "errors.hpp"

namespace nimbra::py {

namespace {

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

// The slots a module fills are process-wide and never emptied, while what a
// subinterpreter makes dies with it: only the main interpreter, the first one
// made and the only one numbered 0, may fill them. True, with ImportError
// set, when a subinterpreter runs the entry point itself.
bool refused_in_subinterpreter(const ModuleRecord& record) {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return true;
  if (id == 0) return false;
  PyErr_Format(PyExc_ImportError, "%s cannot be imported in a subinterpreter, only in the main interpreter",
               record.def.m_name);
  return true;
}

// True when the main interpreter runs the entry point for a subinterpreter's
// import, as the import system does from 3.13 on: on a thread state made for
// that call, without a Python frame, whereas the main interpreter's own
// imports always run inside importlib's Python code.
bool serving_a_subinterpreter() { return PyEval_GetFrame() == nullptr; }

}  // namespace

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

PyObject* module_entry_point(ModuleRecord& record) {
  return guarded([&]() -> PyObject* {
    if (refused_in_subinterpreter(record)) return nullptr;
    // An exception raised now would reach the subinterpreter, which 3.13.0
    // does not survive. A bare module fills no slot; the import system then
    // refuses an isolated subinterpreter by itself, and runs the entry point
    // again in any other, where the check above refuses.
    if (serving_a_subinterpreter()) return PyModule_Create2(&record.def, PYTHON_ABI_VERSION);
    PyObject* module = create_module_once(record);
    Py_XINCREF(module);
    return module;
  });
}

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

bool register_class(PyObject* module, ClassRecord& record, const char* scope) {
  PyTypeObject* type = class_type(record);
  if (!type) return false;
  if (scope) {
    PyObject* qualname = PyUnicode_FromFormat("%s.%s", scope, record.name);
    const bool named =
        qualname && PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__", qualname) == 0;
    Py_XDECREF(qualname);
    if (!named) return false;
  }
  return export_attribute(module, record.name, reinterpret_cast<PyObject*>(type));
}

}  // namespace nimbra::py
