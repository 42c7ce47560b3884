#include "classes.hpp"

#include <algorithm>
#include <vector>

#include "errors.hpp"

namespace nimbra::py {

namespace {

std::vector<ClassRecord*>& made() {
  static std::vector<ClassRecord*> records;
  return records;
}

}  // namespace

const std::vector<ClassRecord*>& made_classes() { return made(); }

bool is_own_class(PyTypeObject* type) {
  const std::vector<ClassRecord*>& records = made();
  return std::any_of(records.begin(), records.end(), [type](const ClassRecord* r) { return r->type == type; });
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

PyTypeObject* class_type(ClassRecord& record) {
  if (record.type) return record.type;
  if (record.composed_doc.empty())
    record.composed_doc = std::string(record.name) + record.text_signature + "\n--\n\n" + record.doc;

  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_doc, const_cast<char*>(record.composed_doc.c_str())});
  for (PyType_Slot* s = record.own_slots; s->slot != 0; ++s) slots.push_back(*s);
  slots.push_back({Py_tp_base, &PyBaseObject_Type});
  slots.push_back({0, nullptr});

  // Older interpreters keep pointing at PyType_Spec.name, so it lives in the
  // record. The module part is where pickle and function serialisers look
  // the class up.
  record.type_name = std::string("_nimbra.") + record.name;
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
  made().push_back(&record);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(record.type, Py_tp_alloc));
  record.alloc = alloc ? alloc : PyType_GenericAlloc;
  return record.type;
}

}  // namespace nimbra::py
