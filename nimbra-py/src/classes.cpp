#include "classes.hpp"

#include <vector>

#include "args.hpp"
#include "errors.hpp"

namespace nimbra::py {

PyTypeObject* class_type(ClassRecord& record) {
  if (record.type) return record.type;
  if (record.composed_doc.empty())
    record.composed_doc = std::string(record.name) + record.text_signature + "\n--\n\n" + record.doc;

  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_doc, const_cast<char*>(record.composed_doc.c_str())});
  for (PyType_Slot* s = record.own_slots; s->slot != 0; ++s) slots.push_back(*s);
  slots.push_back({Py_tp_base, &PyBaseObject_Type});
  slots.push_back({0, nullptr});

  // Older interpreters keep pointing at PyType_Spec.name, so it lives in the record.
  record.type_name = std::string("builtins.") + record.name;
  PyType_Spec spec{};
  spec.name = record.type_name.c_str();
  spec.basicsize = record.basicsize;
  spec.itemsize = 0;
  spec.flags = Py_TPFLAGS_DEFAULT;
  spec.slots = slots.data();
  PyObject* type = PyType_FromSpec(&spec);
  if (!type) {
    PyObject *etype, *value, *tb;
    PyErr_Fetch(&etype, &value, &tb);
    PyErr_NormalizeException(&etype, &value, &tb);
    if (value && tb) PyException_SetTraceback(value, tb);
    raise_with_cause(PyExc_RuntimeError,
                     std::string("An error occurred while initializing class ") + record.name, value);
    Py_XDECREF(etype);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return nullptr;
  }
  record.type = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(record.type, Py_tp_alloc));
  record.alloc = alloc ? alloc : PyType_GenericAlloc;
  return record.type;
}

PyObject* wrap_tensor(Tensor&& tensor) {
  PyTypeObject* type = class_type(tensor_class);
  if (!type) return nullptr;
  return make_instance<Tensor>(type, tensor_class.alloc, std::move(tensor));
}

bool is_tensor(PyObject* obj) {
  PyTypeObject* type = class_type(tensor_class);
  if (!type) {
    PyErr_Clear();
    return false;
  }
  return PyObject_TypeCheck(obj, type);
}

bool check_tensor_arg(PyObject* value, const char* name) {
  if (is_tensor(value)) return true;
  raise_conversion_error(value, "Tensor");
  name_argument_error(name);
  return false;
}

PyObject* call_shape_constructor(Tensor (*make)(std::span<const std::uint64_t>), const ArgSpec& spec,
                                 PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[1];
    if (!parse_args(spec, args, kwargs, argv)) return nullptr;
    std::vector<std::uint64_t> shape;
    if (!to_size_list(argv[0], "shape", shape)) return nullptr;
    return wrap_tensor(make(shape));
  });
}

}  // namespace nimbra::py
