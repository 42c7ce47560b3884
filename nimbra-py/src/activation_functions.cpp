// _sigmoid(t), _tanh(t), _gelu(t, tanh), _softmax(t, dim), _log_softmax(t, dim):
// the accurate activations of the core. nimbra.functional checks and
// documents what a user passes (the `approximate` string, a negative or
// out-of-range dim); these parse, convert, call one core operation and wrap.
#include "activation_functions.hpp"

#include <string>

#include "args.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "nimbra/ops.hpp"
#include "tensor_class.hpp"

namespace nimbra::py {

namespace {

// The entry names, for the argument errors.
constexpr char kSigmoid[] = "_sigmoid", kTanh[] = "_tanh", kSoftmax[] = "_softmax", kLogSoftmax[] = "_log_softmax";

template <Tensor (*Op)(const Tensor&), const char* Name>
PyObject* unary_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const ArgSpec spec{"_nimbra", Name, {"t"}};
    PyObject* argv[1];
    if (!parse_args(spec, args, kwargs, argv)) return nullptr;
    if (!check_tensor_arg(argv[0], "t")) return nullptr;
    Borrow<Tensor> x(argv[0]);
    return wrap_tensor(Op(*x));
  });
}

PyObject* gelu_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const ArgSpec spec{"_nimbra", "_gelu", {"t", "tanh"}};
    PyObject* argv[2];
    if (!parse_args(spec, args, kwargs, argv)) return nullptr;
    if (!check_tensor_arg(argv[0], "t")) return nullptr;
    const int tanh_form = PyObject_IsTrue(argv[1]);
    if (tanh_form < 0) return nullptr;
    Borrow<Tensor> x(argv[0]);
    return wrap_tensor(accurate_gelu(*x, tanh_form ? GeluForm::Tanh : GeluForm::Erf));
  });
}

// `Name` without its underscore heads the failure's text.
template <Result<Tensor> (*Op)(const Tensor&, std::uint64_t), const char* Name>
PyObject* slice_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const ArgSpec spec{"_nimbra", Name, {"t", "dim"}};
    PyObject* argv[2];
    if (!parse_args(spec, args, kwargs, argv)) return nullptr;
    if (!check_tensor_arg(argv[0], "t")) return nullptr;
    std::uint64_t dim = 0;
    if (!to_u64(argv[1], dim)) {
      name_argument_error("dim");
      return nullptr;
    }
    Borrow<Tensor> x(argv[0]);
    Result<Tensor> result = Op(*x, dim);
    if (!result) return raise_tensor_error((std::string(Name + 1) + " failed: ").c_str(), result.error());
    return wrap_tensor(std::move(result).value());
  });
}

PyMethodDef activation_functions[] = {
    {"_sigmoid", keywords_method(&unary_function<&accurate_sigmoid, kSigmoid>), METH_VARARGS | METH_KEYWORDS,
     "_sigmoid(t)\n--\n\nThe logistic function of every element, within one ulp (nimbra.sigmoid)."},
    {"_tanh", keywords_method(&unary_function<&accurate_tanh, kTanh>), METH_VARARGS | METH_KEYWORDS,
     "_tanh(t)\n--\n\nThe hyperbolic tangent of every element, within one ulp (nimbra.tanh)."},
    {"_gelu", keywords_method(&gelu_function), METH_VARARGS | METH_KEYWORDS,
     "_gelu(t, tanh)\n--\n\nGELU of every element, the erf form or the tanh form, within one ulp (nimbra.gelu)."},
    {"_softmax", keywords_method(&slice_function<&accurate_softmax, kSoftmax>), METH_VARARGS | METH_KEYWORDS,
     "_softmax(t, dim)\n--\n\nSoftmax along dimension dim (0 <= dim < t.ndim), within one ulp (nimbra.softmax)."},
    {"_log_softmax", keywords_method(&slice_function<&accurate_log_softmax, kLogSoftmax>), METH_VARARGS | METH_KEYWORDS,
     "_log_softmax(t, dim)\n--\n\nLog-softmax along dimension dim (0 <= dim < t.ndim), within one ulp "
     "(nimbra.log_softmax)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_activation_functions(PyObject* module) { return PyModule_AddFunctions(module, activation_functions) == 0; }

}  // namespace nimbra::py
