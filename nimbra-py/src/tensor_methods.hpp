// Entries of the Tensor class that run tensor operations; spliced into the
// class's tables in member order.
#pragma once

#include "python.hpp"

namespace nimbra::py {

PyObject* tensor_randn(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* tensor_rand(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* tensor_matmul(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tensor_transpose(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tensor_reshape(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tensor_relu(PyObject* self, PyObject*);
PyObject* tensor_sigmoid(PyObject* self, PyObject*);
PyObject* tensor_gelu(PyObject* self, PyObject*);
PyObject* tensor_softmax(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tensor_sum(PyObject* self, PyObject*);
PyObject* tensor_mean(PyObject* self, PyObject*);
PyObject* tensor_add(PyObject* a, PyObject* b);
PyObject* tensor_sub(PyObject* a, PyObject* b);
PyObject* tensor_mul(PyObject* a, PyObject* b);
PyObject* tensor_matmul_operator(PyObject* a, PyObject* b);

}  // namespace nimbra::py

#define NIMBRA_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
#define NIMBRA_TENSOR_STATIC_METHODS                                                        \
  {"randn", NIMBRA_KW(tensor_randn), METH_VARARGS | METH_KEYWORDS | METH_STATIC,            \
   "randn(shape)\n--\n\nCreate a tensor with random values from normal distribution"},      \
  {"rand", NIMBRA_KW(tensor_rand), METH_VARARGS | METH_KEYWORDS | METH_STATIC,              \
   "rand(shape)\n--\n\nCreate a tensor with random values from uniform distribution"},
#define NIMBRA_TENSOR_METHODS                                                                     \
  {"matmul", NIMBRA_KW(tensor_matmul), METH_VARARGS | METH_KEYWORDS,                              \
   "matmul($self, other)\n--\n\nMatrix multiplication"},                                          \
  {"transpose", NIMBRA_KW(tensor_transpose), METH_VARARGS | METH_KEYWORDS,                        \
   "transpose($self, dim0, dim1)\n--\n\nTranspose"},                                              \
  {"reshape", NIMBRA_KW(tensor_reshape), METH_VARARGS | METH_KEYWORDS,                            \
   "reshape($self, shape)\n--\n\nReshape tensor"},                                                \
  {"relu", tensor_relu, METH_NOARGS, "relu($self)\n--\n\nReLU activation"},                       \
  {"sigmoid", tensor_sigmoid, METH_NOARGS, "sigmoid($self)\n--\n\nSigmoid activation"},           \
  {"gelu", tensor_gelu, METH_NOARGS, "gelu($self)\n--\n\nGELU activation"},                       \
  {"softmax", NIMBRA_KW(tensor_softmax), METH_VARARGS | METH_KEYWORDS,                            \
   "softmax($self, dim)\n--\n\nSoftmax"},                                                         \
  {"sum", tensor_sum, METH_NOARGS, "sum($self)\n--\n\nSum all elements"},                         \
  {"mean", tensor_mean, METH_NOARGS, "mean($self)\n--\n\nMean of all elements"},
#define NIMBRA_TENSOR_OPERATOR_SLOTS                                    \
  {Py_nb_add, reinterpret_cast<void*>(tensor_add)},                     \
  {Py_nb_subtract, reinterpret_cast<void*>(tensor_sub)},                \
  {Py_nb_multiply, reinterpret_cast<void*>(tensor_mul)},                \
  {Py_nb_matrix_multiply, reinterpret_cast<void*>(tensor_matmul_operator)},
