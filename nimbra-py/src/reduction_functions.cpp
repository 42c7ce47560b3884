// _nimbra._reduce, the one entry of the nimbra package's reductions along a
// dimension (nimbra.sum, nimbra.mean, nimbra.max, nimbra.min, nimbra.argmax,
// nimbra.argmin). A fast call with positional arguments, since on small
// tensors the call itself is most of the time.
#include <cstdint>

#include "args.hpp"
#include "errors.hpp"
#include "nimbra/ops.hpp"
#include "reduction_functions.hpp"
#include "tensor_class.hpp"

namespace nimbra::py {

namespace {

// The prefix of each reduction's ValueError, in ReduceOp order.
const char* const kPrefixes[] = {"Sum failed: ",    "Mean failed: ",   "Max failed: ",
                                 "Min failed: ",    "Argmax failed: ", "Argmin failed: "};
constexpr long kOps = sizeof kPrefixes / sizeof kPrefixes[0];

// dim: None, or an integer through the index protocol (a bool is refused).
bool to_dim(PyObject* value, bool& all, std::int64_t& dim) {
  all = value == Py_None;
  if (all) return true;
  if (PyBool_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "argument 'dim': an integer or None is required, not bool");
    return false;
  }
  PyObject* index = PyNumber_Index(value);
  if (!index) {
    name_argument_error("dim");
    return false;
  }
  dim = PyLong_AsLongLong(index);
  Py_DECREF(index);
  return !(dim == -1 && PyErr_Occurred());
}

// _reduce(op, t, dim, keepdim): op is the ReduceOp code.
PyObject* reduce_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 4) {
      PyErr_Format(PyExc_TypeError, "_reduce() takes 4 positional arguments but %zd were given", nargs);
      return nullptr;
    }
    const long op = PyLong_AsLong(args[0]);
    if (op < 0 || op >= kOps) {
      if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "_reduce(): no reduction has the code %ld", op);
      return nullptr;
    }
    if (!check_tensor_arg(args[1], "t")) return nullptr;
    bool all = false;
    std::int64_t dim = 0;
    if (!to_dim(args[2], all, dim)) return nullptr;
    const int keepdim = PyObject_IsTrue(args[3]);
    if (keepdim < 0) return nullptr;
    Borrow<Tensor> t(args[1]);
    const auto reduction = static_cast<ReduceOp>(op);
    Result<Tensor> result = all ? reduce_all(*t, reduction, keepdim) : reduce(*t, reduction, dim, keepdim);
    if (!result) return raise_tensor_error(kPrefixes[op], result.error());
    return wrap_tensor(std::move(result).value());
  });
}

PyMethodDef functions[] = {
    {"_reduce", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reduce_entry)), METH_FASTCALL,
     "_reduce(op, t, dim, keepdim, /)\n--\n\nThe reduction with code op (sum, mean, max, min, argmax, argmin) of t "
     "along dim (None: every element); the nimbra package's reductions call it"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_reduction_functions(PyObject* module) { return PyModule_AddFunctions(module, functions) == 0; }

}  // namespace nimbra::py
