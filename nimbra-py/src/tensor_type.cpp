// The Python class Tensor: constructor, static constructors, properties,
// tolist and repr, plus the method table that the operation methods join.
#include <string>
#include <vector>

#include "args.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "tensor_methods.hpp"

namespace nimbra::py {

namespace {

PyObject* tensor_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const ArgSpec spec{"Tensor", "__new__", {"data", "shape"}};
    PyObject* argv[2];
    if (!parse_args(spec, args, kwargs, argv)) return nullptr;
    std::vector<std::uint64_t> shape;
    if (!to_size_list(argv[1], "shape", shape)) return nullptr;
    FloatSink values;
    // The shape's count sizes the buffer when it is plausible; the length
    // check below still decides.
    const std::uint64_t expected = numel_of(shape);
    if (expected <= (std::uint64_t{1} << 24)) values.reserve(expected);
    if (!to_float_list(argv[0], values)) return nullptr;
    Result<Tensor> made = Tensor::from_slice({values.data(), values.size()}, shape);
    if (!made) return raise_tensor_error("Failed to create tensor: ", made.error());
    if (!class_type(tensor_class)) return nullptr;
    allocfunc alloc = cls == tensor_class.type ? tensor_class.alloc
                                               : reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
    return make_instance<Tensor>(cls, alloc ? alloc : PyType_GenericAlloc, std::move(made).value());
  });
}

PyObject* tensor_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Borrow<Tensor> t(self);
    std::string text = "Tensor(shape=" + render_sizes(t->shape().data(), t->ndim()) + ", dtype=f32)";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* tensor_zeros(PyObject*, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec{"Tensor", "zeros", {"shape"}};
  return call_shape_constructor(&Tensor::zeros, spec, args, kwargs);
}

PyObject* tensor_ones(PyObject*, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec{"Tensor", "ones", {"shape"}};
  return call_shape_constructor(&Tensor::ones, spec, args, kwargs);
}

PyObject* get_shape(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Borrow<Tensor> t(self);
    const Shape& shape = t->shape();
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(shape.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < shape.size(); ++i) {
      PyObject* item = PyLong_FromUnsignedLongLong(shape[i]);
      if (!item) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
  });
}

PyObject* get_ndim(PyObject* self, void*) {
  Borrow<Tensor> t(self);
  return PyLong_FromSize_t(t->ndim());
}

PyObject* get_size(PyObject* self, void*) {
  Borrow<Tensor> t(self);
  return PyLong_FromUnsignedLongLong(t->numel());
}

// Large tensors are listed through a read-only memoryview of their f32
// elements, whose tolist builds the floats inside the interpreter without a
// call per element; small ones directly.
constexpr Py_ssize_t kMemoryviewListing = 256;
#ifndef PyBUF_READ
#define PyBUF_READ 0x100  // part of the stable ABI; the 3.10 limited headers leave the name out
#endif

PyObject* list_through_memoryview(const float* data, Py_ssize_t n) {
  PyObject* raw = PyMemoryView_FromMemory(const_cast<char*>(reinterpret_cast<const char*>(data)),
                                          n * static_cast<Py_ssize_t>(sizeof(float)), PyBUF_READ);
  if (!raw) return nullptr;
  PyObject* floats = PyObject_CallMethod(raw, "cast", "s", "f");
  PyObject* list = floats ? PyObject_CallMethod(floats, "tolist", nullptr) : nullptr;
  // Neither view may outlive this call: the elements belong to the tensor.
  if (floats) Py_XDECREF(PyObject_CallMethod(floats, "release", nullptr));
  Py_XDECREF(PyObject_CallMethod(raw, "release", nullptr));
  Py_XDECREF(floats);
  Py_DECREF(raw);
  if (list && !PyList_CheckExact(list)) Py_CLEAR(list);
  return list;
}

PyObject* tensor_tolist(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Borrow<Tensor> t(self);
    ElementsView values = t->elements();
    const auto n = static_cast<Py_ssize_t>(values.size());
    if (n >= kMemoryviewListing) return list_through_memoryview(values.data(), n);
    PyObject* list = PyList_New(n);
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyFloat_FromDouble(values[static_cast<std::uint64_t>(i)]);
      if (!item) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SetItem(list, i, item);
    }
    return list;
  });
}

PyMethodDef tensor_methods[] = {
    {"zeros", NIMBRA_KW(tensor_zeros), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "zeros(shape)\n--\n\nCreate a tensor filled with zeros"},
    {"ones", NIMBRA_KW(tensor_ones), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "ones(shape)\n--\n\nCreate a tensor filled with ones"},
    NIMBRA_TENSOR_STATIC_METHODS
    NIMBRA_TENSOR_METHODS
    {"tolist", tensor_tolist, METH_NOARGS, "tolist($self)\n--\n\nConvert to Python list"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tensor_getset[] = {
    {"shape", get_shape, nullptr, "Get tensor shape", nullptr},
    {"ndim", get_ndim, nullptr, "Get number of dimensions", nullptr},
    {"size", get_size, nullptr, "Get total number of elements", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tensor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tensor_new)},
    {Py_tp_repr, reinterpret_cast<void*>(tensor_repr)},
    NIMBRA_TENSOR_OPERATOR_SLOTS
    {Py_tp_methods, tensor_methods},
    {Py_tp_getset, tensor_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Tensor>)},
    {0, nullptr},
};

}  // namespace

ClassRecord tensor_class{"Tensor", "(data, shape)", "Python wrapper for Nimbra Tensor",
                         static_cast<int>(sizeof(TensorObject)), tensor_slots, {}, {}};

}  // namespace nimbra::py
