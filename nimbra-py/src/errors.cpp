#include "errors.hpp"

#include <exception>
#include <stdexcept>

#include "classes.hpp"

namespace nimbra::py {

PyObject* raise_tensor_error(const char* prefix, const TensorError& error) {
  std::string text = prefix + error.display();
  PyErr_SetString(PyExc_ValueError, text.c_str());
  return nullptr;
}

void raise_with_cause(PyObject* type, const std::string& text, PyObject* cause) {
  PyObject* message = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (message) raise_with_cause(type, message, cause);
}

void raise_with_cause(PyObject* type, PyObject* message, PyObject* cause) {
  PyObject* exc = PyObject_CallFunctionObjArgs(type, message, nullptr);
  Py_DECREF(message);
  if (!exc) return;
  if (cause) {
    Py_INCREF(cause);
    PyException_SetCause(exc, cause);  // steals the new reference
  }
  PyErr_SetObject(type, exc);
  Py_DECREF(exc);
}

PyObject* raise_conversion_error(PyObject* value, const char* target) {
  PyTypeObject* type = Py_TYPE(value);
  // The extension's classes keep the plain names these messages have always
  // shown; their qualified names (nn.Linear) are for pickle to find them by.
  PyObject* name = is_own_class(type) ? PyType_GetName(type)
                                      : PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
  if (name && PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name, target);
  } else {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object cannot be converted to '%s'", target);
  }
  Py_XDECREF(name);
  return nullptr;
}

void set_exception_from_current() noexcept {
  try {
    throw;
  } catch (const InternalFault& fault) {
    PyErr_SetString(fault.kind() == FaultKind::Precondition ? PyExc_ValueError : PyExc_RuntimeError,
                    fault.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown internal error");
  }
}

}  // namespace nimbra::py
