// Basic indexing for Tensor: t[key] as a view of the elements, iteration
// over the first dimension through the sequence protocol, and the refusal of
// item assignment. The binding only reads the index objects; the view is
// the core's `index`.
#include <variant>
#include <vector>

#include "classes.hpp"
#include "errors.hpp"
#include "nimbra/ops.hpp"
#include "tensor_class.hpp"

namespace nimbra::py {

namespace {

using Kind = IndexItem::Kind;

// TypeError for an object that is no basic index, with a hint for the kinds
// of advanced indexing a NumPy or PyTorch user may try.
bool refuse_index(PyObject* item) {
  const char* hint = "";
  if (PyBool_Check(item))
    hint = " (a boolean is not an index)";
  else if (PyList_Check(item) || PyTuple_Check(item) || PyObject_CheckBuffer(item))
    hint = " (indexing with sequences or arrays is not supported)";
  PyObject* name = PyType_GetName(Py_TYPE(item));
  if (!name) return false;
  PyErr_Format(PyExc_TypeError, "Tensor indices must be integers, slices, ellipsis (...) or None, not %U%s", name,
               hint);
  Py_DECREF(name);
  return false;
}

bool read_item(PyObject* item, IndexItem& out) {
  if (item == Py_Ellipsis) {
    out.kind = Kind::Ellipsis;
  } else if (item == Py_None) {
    out.kind = Kind::NewAxis;
  } else if (PySlice_Check(item)) {
    Py_ssize_t start, stop, step;
    if (PySlice_Unpack(item, &start, &stop, &step) < 0) return false;
    out = {Kind::Slice, start, stop, step};
  } else if (!PyBool_Check(item) && PyIndex_Check(item)) {
    const Py_ssize_t i = PyNumber_AsSsize_t(item, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) {
      // An array that is no integer scalar (NumPy's arrays have __index__).
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
      PyErr_Clear();
      return refuse_index(item);
    }
    out = {Kind::Integer, i};
  } else {
    return refuse_index(item);
  }
  return true;
}

PyObject* view_or_raise(PyObject* self, std::span<const IndexItem> items) {
  Borrow<Tensor> t(self);
  std::variant<Tensor, IndexFailure> result = index(*t, items);
  if (const IndexFailure* failure = std::get_if<IndexFailure>(&result)) {
    PyErr_SetString(PyExc_IndexError, failure->text.c_str());
    return nullptr;
  }
  return wrap_tensor(std::get<Tensor>(std::move(result)));
}

}  // namespace

PyObject* tensor_getitem(PyObject* self, PyObject* key) {
  return guarded([&]() -> PyObject* {
    if (!PyTuple_Check(key)) {
      IndexItem item;
      if (!read_item(key, item)) return nullptr;
      return view_or_raise(self, {&item, 1});
    }
    std::vector<IndexItem> items(static_cast<std::size_t>(PyTuple_Size(key)));
    for (std::size_t i = 0; i < items.size(); ++i)
      if (!read_item(PyTuple_GetItem(key, static_cast<Py_ssize_t>(i)), items[i])) return nullptr;
    return view_or_raise(self, items);
  });
}

namespace {

bool refuse_zero_d(PyObject* self) {
  if (Borrow<Tensor>(self)->ndim() > 0) return false;
  PyErr_SetString(PyExc_TypeError, "iteration over a 0-d tensor");
  return true;
}

}  // namespace

PyObject* tensor_item(PyObject* self, Py_ssize_t i) {
  return guarded([&]() -> PyObject* {
    if (refuse_zero_d(self)) return nullptr;
    const IndexItem item{Kind::Integer, i};
    return view_or_raise(self, {&item, 1});
  });
}

PyObject* tensor_iter(PyObject* self) {
  return guarded([&]() -> PyObject* { return refuse_zero_d(self) ? nullptr : PySeqIter_New(self); });
}

int tensor_setitem(PyObject*, PyObject*, PyObject* value) {
  PyErr_SetString(PyExc_TypeError, value ? "Tensor does not support item assignment: tensors are immutable"
                                         : "Tensor does not support item deletion: tensors are immutable");
  return -1;
}

}  // namespace nimbra::py
