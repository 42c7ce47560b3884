// The Python class Tensor: constructors, properties, the operation methods,
// tolist, repr, float() and int(), the operators, then the class's tables
// (their indexing, buffer-protocol and DLPack entries live in
// tensor_indexing.cpp, tensor_buffer.cpp, dlpack.cpp and dlpack_import.cpp).
#include "tensor_class.hpp"

#include <string>
#include <vector>

#include "args.hpp"
#include "errors.hpp"
#include "nimbra/ops.hpp"
#include "pickling.hpp"
#include "tensor_interop.hpp"

namespace nimbra::py {

namespace {

// True when obj is an instance of Tensor (or a subtype).
bool is_tensor(PyObject* obj) {
  PyTypeObject* type = class_type(tensor_class);
  if (!type) {
    PyErr_Clear();
    return false;
  }
  return PyObject_TypeCheck(obj, type);
}

}  // namespace

PyObject* wrap_tensor(Tensor&& tensor) {
  PyTypeObject* type = class_type(tensor_class);
  if (!type) return nullptr;
  return make_instance<Tensor>(type, tensor_class.alloc, std::move(tensor));
}

bool check_tensor_arg(PyObject* value, const char* name) {
  if (is_tensor(value)) return true;
  raise_conversion_error(value, "Tensor");
  name_argument_error(name);
  return false;
}

namespace {

// Wraps a fallible core result, mapping its error with the entry's prefix.
PyObject* wrap_result(Result<Tensor>&& result, const char* prefix) {
  if (!result) return raise_tensor_error(prefix, result.error());
  return wrap_tensor(std::move(result).value());
}

// A static constructor that takes one size list `shape` and makes a tensor.
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

template <Tensor (*Op)(const Tensor&)>
PyObject* unary_method(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Borrow<Tensor> t(self);
    return wrap_tensor(Op(*t));
  });
}

template <Result<Tensor> (*Op)(const Tensor&, const Tensor&)>
PyObject* binary_operator(PyObject* a, PyObject* b, const char* prefix) {
  if (!is_tensor(a) || !is_tensor(b)) Py_RETURN_NOTIMPLEMENTED;
  return guarded([&]() -> PyObject* {
    Borrow<Tensor> left(a);
    Borrow<Tensor> right(b);
    return wrap_result(Op(*left, *right), prefix);
  });
}

// ---- constructors -----------------------------------------------------------

PyObject* tensor_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
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
    // Tensor cannot be subclassed, and the interpreter hands Tensor.__new__
    // no other class: `cls` is Tensor.
    return wrap_tensor(std::move(made).value());
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

PyObject* tensor_randn(PyObject*, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec{"Tensor", "randn", {"shape"}};
  return call_shape_constructor(&randn, spec, args, kwargs);
}

PyObject* tensor_rand(PyObject*, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec{"Tensor", "rand", {"shape"}};
  return call_shape_constructor(&rand, spec, args, kwargs);
}

// ---- properties -------------------------------------------------------------

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

// ---- operation methods ------------------------------------------------------

PyObject* tensor_matmul(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const ArgSpec spec{"Tensor", "matmul", {"other"}};
    PyObject* argv[1];
    if (!parse_args(spec, args, kwargs, argv)) return nullptr;
    if (!check_tensor_arg(argv[0], "other")) return nullptr;
    Borrow<Tensor> left(self);
    Borrow<Tensor> right(argv[0]);
    return wrap_result(matmul(*left, *right), "Matmul failed: ");
  });
}

PyObject* tensor_transpose(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const ArgSpec spec{"Tensor", "transpose", {"dim0", "dim1"}};
    PyObject* argv[2];
    if (!parse_args(spec, args, kwargs, argv)) return nullptr;
    std::uint64_t dims[2];
    if (!to_u64_args(spec, argv, dims)) return nullptr;
    Borrow<Tensor> t(self);
    return wrap_result(transpose(*t, dims[0], dims[1]), "Transpose failed: ");
  });
}

PyObject* tensor_reshape(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const ArgSpec spec{"Tensor", "reshape", {"shape"}};
    PyObject* argv[1];
    if (!parse_args(spec, args, kwargs, argv)) return nullptr;
    std::vector<std::uint64_t> shape;
    if (!to_size_list(argv[0], "shape", shape)) return nullptr;
    Borrow<Tensor> t(self);
    return wrap_result(reshape(*t, shape), "Reshape failed: ");
  });
}

PyObject* tensor_relu(PyObject* self, PyObject*) { return unary_method<&relu>(self); }
PyObject* tensor_sigmoid(PyObject* self, PyObject*) { return unary_method<&sigmoid>(self); }
PyObject* tensor_gelu(PyObject* self, PyObject*) { return unary_method<&gelu>(self); }
PyObject* tensor_sum(PyObject* self, PyObject*) { return unary_method<&sum>(self); }
PyObject* tensor_mean(PyObject* self, PyObject*) { return unary_method<&mean>(self); }

PyObject* tensor_softmax(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const ArgSpec spec{"Tensor", "softmax", {"dim"}};
    PyObject* argv[1];
    if (!parse_args(spec, args, kwargs, argv)) return nullptr;
    std::int32_t dim = 0;
    if (!to_i32(argv[0], dim)) {
      name_argument_error("dim");
      return nullptr;
    }
    Borrow<Tensor> t(self);
    return wrap_tensor(softmax(*t, dim));
  });
}

// ---- tolist and repr --------------------------------------------------------

// Large tensors are listed through a read-only memoryview of their f32
// elements, whose tolist builds the floats inside the interpreter without a
// call per element; small ones directly.
constexpr Py_ssize_t kMemoryviewListing = 256;

PyObject* list_through_memoryview(const float* data, Py_ssize_t n) {
  PyObject* raw = PyMemoryView_FromMemory(const_cast<char*>(reinterpret_cast<const char*>(data)),
                                          n * static_cast<Py_ssize_t>(sizeof(float)), PyBUF_READ);
  if (!raw) return nullptr;
  PyObject* floats = PyObject_CallMethod(raw, "cast", "s", "f");
  PyObject* list = floats ? PyObject_CallMethod(floats, "tolist", nullptr) : nullptr;
  // Neither view may outlive this call: the elements belong to the tensor.
  // release() runs in the interpreter, which must not be entered with an
  // exception pending, so a failed cast or tolist waits aside meanwhile; the
  // first failure is the one raised.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  for (PyObject* view : {floats, raw}) {
    if (!view) continue;
    PyObject* done = PyObject_CallMethod(view, "release", nullptr);
    if (done)
      Py_DECREF(done);
    else if (type)
      PyErr_Clear();
    else
      PyErr_Fetch(&type, &value, &traceback);
  }
  Py_XDECREF(floats);
  Py_DECREF(raw);
  if (type) {
    Py_XDECREF(list);
    PyErr_Restore(type, value, traceback);
    return nullptr;
  }
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

PyObject* tensor_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Borrow<Tensor> t(self);
    std::string text = "Tensor(shape=" + render_sizes(t->shape().data(), t->ndim()) + ", dtype=f32)";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

// ---- float() and int() --------------------------------------------------------

// The one element of a one-element tensor, or TypeError naming `conversion`.
bool only_element(PyObject* self, const char* conversion, float& out) {
  Borrow<Tensor> t(self);
  if (t->numel() != 1) {
    const std::string text = std::string(conversion) + "() needs a tensor of exactly one element, got shape " +
                             render_sizes(t->shape().data(), t->ndim());
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return false;
  }
  out = t->elements()[0];
  return true;
}

PyObject* tensor_float(PyObject* self) {
  return guarded([&]() -> PyObject* {
    float value;
    return only_element(self, "float", value) ? PyFloat_FromDouble(value) : nullptr;
  });
}

// Truncates toward zero as int(float(t)) does, with its ValueError for NaN
// and OverflowError for infinities.
PyObject* tensor_int(PyObject* self) {
  return guarded([&]() -> PyObject* {
    float value;
    return only_element(self, "int", value) ? PyLong_FromDouble(value) : nullptr;
  });
}

// ---- operators --------------------------------------------------------------

PyObject* tensor_add(PyObject* a, PyObject* b) { return binary_operator<&add>(a, b, "Addition failed: "); }
PyObject* tensor_sub(PyObject* a, PyObject* b) { return binary_operator<&sub>(a, b, "Subtraction failed: "); }
PyObject* tensor_mul(PyObject* a, PyObject* b) { return binary_operator<&mul>(a, b, "Multiplication failed: "); }
PyObject* tensor_matmul_operator(PyObject* a, PyObject* b) {
  return binary_operator<&matmul>(a, b, "Matmul failed: ");
}

// ---- tables -----------------------------------------------------------------

PyMethodDef tensor_methods[] = {
    {"zeros", keywords_method(tensor_zeros), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "zeros(shape)\n--\n\nCreate a tensor filled with zeros"},
    {"ones", keywords_method(tensor_ones), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "ones(shape)\n--\n\nCreate a tensor filled with ones"},
    {"randn", keywords_method(tensor_randn), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "randn(shape)\n--\n\nCreate a tensor with random values from normal distribution"},
    {"rand", keywords_method(tensor_rand), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "rand(shape)\n--\n\nCreate a tensor with random values from uniform distribution"},
    {"from_buffer", keywords_method(tensor_from_buffer), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_buffer(obj)\n--\n\nCreate a tensor holding a copy of the elements of any object that exports a "
     "buffer: float32, float64 or integer items, any strides"},
    {"from_dlpack", keywords_method(tensor_from_dlpack), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_dlpack(obj)\n--\n\nCreate a tensor holding a copy of the elements of any DLPack producer (an object "
     "with __dlpack__, such as a NumPy array or a PyTorch tensor): float32, float64 or integer elements on the "
     "CPU, any strides"},
    {"matmul", keywords_method(tensor_matmul), METH_VARARGS | METH_KEYWORDS,
     "matmul($self, other)\n--\n\nMatrix multiplication"},
    {"transpose", keywords_method(tensor_transpose), METH_VARARGS | METH_KEYWORDS,
     "transpose($self, dim0, dim1)\n--\n\nTranspose"},
    {"reshape", keywords_method(tensor_reshape), METH_VARARGS | METH_KEYWORDS,
     "reshape($self, shape)\n--\n\nReshape tensor"},
    {"relu", tensor_relu, METH_NOARGS, "relu($self)\n--\n\nReLU activation"},
    {"sigmoid", tensor_sigmoid, METH_NOARGS, "sigmoid($self)\n--\n\nSigmoid activation"},
    {"gelu", tensor_gelu, METH_NOARGS, "gelu($self)\n--\n\nGELU activation"},
    {"softmax", keywords_method(tensor_softmax), METH_VARARGS | METH_KEYWORDS,
     "softmax($self, dim)\n--\n\nSoftmax"},
    {"sum", tensor_sum, METH_NOARGS, "sum($self)\n--\n\nSum all elements"},
    {"mean", tensor_mean, METH_NOARGS, "mean($self)\n--\n\nMean of all elements"},
    {"tolist", tensor_tolist, METH_NOARGS, "tolist($self)\n--\n\nConvert to Python list"},
    {"__array__", keywords_method(tensor_array), METH_VARARGS | METH_KEYWORDS,
     "__array__($self, /, dtype=None, copy=None)\n--\n\n"
     "A NumPy array of the elements: a read-only view, or a copy when copy=True or dtype asks for one"},
    {"__dlpack__", keywords_method(tensor_dlpack), METH_VARARGS | METH_KEYWORDS,
     "__dlpack__($self, /, *, stream=None, max_version=None, dl_device=None, copy=None)\n--\n\n"
     "Export as a DLPack capsule: shared and read-only for DLPack 1.0 consumers, else a copy"},
    {"__dlpack_device__", tensor_dlpack_device, METH_NOARGS,
     "__dlpack_device__($self)\n--\n\nThe DLPack device of the elements: (1, 0), the CPU"},
    {"__getitem__", tensor_getitem, METH_O | METH_COEXIST,
     "__getitem__($self, key, /)\n--\n\nA view of the elements key selects, sharing this tensor's memory: "
     "integers (negative from the end) remove their dimension, slices keep part of it (any step, negative "
     "too), ... stands for the dimensions not named and None inserts one of size 1"},
    {"__int__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tensor_int)), METH_NOARGS | METH_COEXIST,
     "__int__($self, /)\n--\n\nThe one element of a one-element tensor, truncated toward zero"},
    {"__reduce_ex__", tensor_reduce_ex, METH_O, "__reduce_ex__($self, protocol, /)\n--\n\n"},
    {"_rebuild", rebuild, METH_VARARGS | METH_CLASS,
     "_rebuild($type, kind, /, *fields)\n--\n\nRebuild a pickled object of this module"},
    copy_method,
    deepcopy_method,
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
    {Py_nb_add, reinterpret_cast<void*>(tensor_add)},
    {Py_nb_subtract, reinterpret_cast<void*>(tensor_sub)},
    {Py_nb_multiply, reinterpret_cast<void*>(tensor_mul)},
    {Py_nb_matrix_multiply, reinterpret_cast<void*>(tensor_matmul_operator)},
    {Py_nb_float, reinterpret_cast<void*>(tensor_float)},
    {Py_nb_int, reinterpret_cast<void*>(tensor_int)},
    {Py_mp_subscript, reinterpret_cast<void*>(tensor_getitem)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(tensor_setitem)},
    {Py_sq_item, reinterpret_cast<void*>(tensor_item)},
    {Py_tp_iter, reinterpret_cast<void*>(tensor_iter)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(tensor_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(tensor_releasebuffer)},
    {Py_tp_methods, tensor_methods},
    {Py_tp_getset, tensor_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Tensor>)},
    {0, nullptr},
};

}  // namespace

ClassRecord tensor_class{"Tensor", "(data, shape)", "Python wrapper for Nimbra Tensor",
                         static_cast<int>(sizeof(Instance<Tensor>)), tensor_slots, rebuild_tensor, {}, {}};

}  // namespace nimbra::py
