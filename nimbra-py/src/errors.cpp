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
  PyObject* exc = PyObject_CallFunction(type, "s", text.c_str());
  if (!exc) return;
  if (cause) {
    Py_INCREF(cause);
    PyException_SetCause(exc, cause);  // steals the new reference
  }
  PyErr_SetObject(type, exc);
  Py_DECREF(exc);
}

std::string type_qualname(PyObject* obj) {
  PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
  std::string out = "<failed to extract type name>";
  if (name && PyUnicode_Check(name)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8) out.assign(utf8, static_cast<std::size_t>(size));
  }
  Py_XDECREF(name);
  PyErr_Clear();
  return out;
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
