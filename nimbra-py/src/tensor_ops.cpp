// Tensor methods and operators that run one tensor operation each.
#include <vector>

#include "args.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "nimbra/ops.hpp"
#include "tensor_methods.hpp"

namespace nimbra::py {

namespace {

// Wraps a fallible core result, mapping its error with the entry's prefix.
PyObject* wrap_result(Result<Tensor>&& result, const char* prefix) {
  if (!result) return raise_tensor_error(prefix, result.error());
  return wrap_tensor(std::move(result).value());
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

}  // namespace

PyObject* tensor_randn(PyObject*, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec{"Tensor", "randn", {"shape"}};
  return call_shape_constructor(&randn, spec, args, kwargs);
}

PyObject* tensor_rand(PyObject*, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec{"Tensor", "rand", {"shape"}};
  return call_shape_constructor(&rand, spec, args, kwargs);
}

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
    for (int i = 0; i < 2; ++i) {
      if (!to_u64(argv[i], dims[i])) {
        name_argument_error(spec.params.begin()[i]);
        return nullptr;
      }
    }
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

PyObject* tensor_add(PyObject* a, PyObject* b) { return binary_operator<&add>(a, b, "Addition failed: "); }
PyObject* tensor_sub(PyObject* a, PyObject* b) { return binary_operator<&sub>(a, b, "Subtraction failed: "); }
PyObject* tensor_mul(PyObject* a, PyObject* b) { return binary_operator<&mul>(a, b, "Multiplication failed: "); }
PyObject* tensor_matmul_operator(PyObject* a, PyObject* b) {
  return binary_operator<&matmul>(a, b, "Matmul failed: ");
}

}  // namespace nimbra::py
