#include "errors.hpp"

#include <exception>
#include <stdexcept>


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
