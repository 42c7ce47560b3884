// Tensor's pickled form: its shape and its elements in row-major order as
// little-endian f32, and the rebuild of a tensor from them.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "errors.hpp"
#include "nimbra/foreign.hpp"
#include "pickling.hpp"
#include "tensor_class.hpp"
#include "tensor_interop.hpp"

namespace nimbra::py {

namespace {

constexpr bool kLittleEndian = std::endian::native == std::endian::little;
constexpr const char* kTensorPrefix = "Failed to unpickle tensor: ";

// The elements in row-major order as little-endian f32, in a new bytes object.
PyObject* element_bytes(const Tensor& t) {
  const ElementsView values = t.elements();
  const std::size_t n = values.size() * sizeof(float);
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
  if (!bytes) return nullptr;
  char* out = PyBytes_AsString(bytes);
  if (n) std::memcpy(out, values.data(), n);
  if constexpr (!kLittleEndian) {
    for (std::size_t i = 0; i < n; i += sizeof(float)) std::reverse(out + i, out + i + sizeof(float));
  }
  return bytes;
}

// Protocol 5: the elements as a pickle.PickleBuffer, which the pickler hands
// to the caller's buffer_callback or else writes in band. A row-major tensor
// lends its own memory through the buffer protocol, so nothing is copied;
// an empty one has none to lend, and its sizes may be too large to export.
PyObject* pickle_buffer(PyObject* self, const Tensor& t) {
  const bool lend = kLittleEndian && t.numel() > 0 && t.is_contiguous();
  OwnedRef source(lend ? Py_NewRef(self) : element_bytes(t));
  if (!source) return nullptr;
  OwnedRef pickle(PyImport_ImportModule("pickle"));
  if (!pickle) return nullptr;
  return PyObject_CallMethod(pickle.get(), "PickleBuffer", "O", source.get());
}

// Turns a pending OverflowError (a size beyond the unsigned 64-bit range)
// into the ValueError of a bad payload; returns NULL.
PyObject* overflow_as_bad_payload() {
  if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return nullptr;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* text = value ? PyUnicode_FromFormat("%s%S", kTensorPrefix, value) : nullptr;
  if (text) raise_with_cause(PyExc_ValueError, text, value);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return nullptr;
}

}  // namespace

// Tensor._rebuild("Tensor", shape, data): data holds the shape's elements in
// row-major order as little-endian f32, in any contiguous buffer. The length
// is checked against the shape before anything is read.
PyObject* rebuild_tensor(PyObject* fields) {
  static const ArgSpec spec{"Tensor", "_rebuild", {"shape", "data"}};
  PyObject* argv[2];
  if (!parse_args(spec, fields, nullptr, argv)) return nullptr;
  std::vector<std::uint64_t> shape;
  if (!to_size_list(argv[0], "shape", shape)) return overflow_as_bad_payload();
  HeldBuffer held;
  if (!held.get(argv[1])) {
    name_argument_error("data");
    return nullptr;
  }
  const Py_buffer& view = held.view();
  const std::uint64_t count = checked_numel(shape);
  const auto length = static_cast<std::uint64_t>(view.len);
  if (!PyBuffer_IsContiguous(&view, 'C')) {
    PyErr_Format(PyExc_ValueError, "%sthe buffer of its elements is not contiguous", kTensorPrefix);
    return nullptr;
  }
  if (length % sizeof(float) != 0 || length / sizeof(float) != count) {
    const std::string text = kTensorPrefix + std::to_string(length) + " bytes do not hold the " +
                             std::to_string(count) + " elements of shape " + render_sizes(shape.data(), shape.size());
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
  }
  // Without elements there is nothing to import, and sizes beside a zero
  // may be beyond what a foreign description holds.
  if (count == 0) return wrap_tensor(Tensor::zeros(shape));
  // Every size and byte stride is at most the buffer's length, so all fit.
  const std::size_t ndim = shape.size();
  std::vector<std::int64_t> geometry(2 * ndim);
  std::int64_t step = sizeof(float);
  for (std::size_t d = ndim; d-- > 0;) {
    geometry[d] = static_cast<std::int64_t>(shape[d]);
    geometry[ndim + d] = step;
    step *= geometry[d];
  }
  ForeignElements source;
  source.data = view.buf;
  source.kind = ElementKind::F32;
  source.byte_swapped = !kLittleEndian;
  source.shape = {geometry.data(), ndim};
  source.strides = {geometry.data() + ndim, ndim};
  source.length = length;
  Result<Tensor> made = import_elements(source);
  if (!made) return raise_tensor_error(kTensorPrefix, made.error());
  return wrap_tensor(std::move(made).value());
}

PyObject* tensor_reduce_ex(PyObject* self, PyObject* protocol) {
  return guarded([&]() -> PyObject* {
    const long level = PyLong_AsLong(protocol);
    if (level == -1 && PyErr_Occurred()) return nullptr;
    OwnedRef shape(PyObject_GetAttrString(self, "shape"));
    if (!shape) return nullptr;
    Borrow<Tensor> t(self);
    OwnedRef data(level >= 5 ? pickle_buffer(self, *t) : element_bytes(*t));
    if (!data) return nullptr;
    return reduce_to_rebuild(reinterpret_cast<PyObject*>(Py_TYPE(self)), self, {shape.get(), data.get()});
  });
}

}  // namespace nimbra::py
