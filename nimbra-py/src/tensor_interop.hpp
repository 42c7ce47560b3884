// Tensor's exchange with other array libraries and with pickle: the buffer
// protocol both ways, DLPack export and the pickled form. The Tensor class's
// tables refer to these entries.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "nimbra/error.hpp"
#include "nimbra/tensor.hpp"
#include "python.hpp"

namespace nimbra::py {

// ---- buffer protocol (tensor_buffer.cpp) ----------------------------------------
// Read-only, zero-copy export of the elements as they lie: format "f",
// the tensor's shape and byte strides.
int tensor_getbuffer(PyObject* self, Py_buffer* view, int flags);
void tensor_releasebuffer(PyObject* self, Py_buffer* view);
// Tensor.__array__(dtype=None, copy=None): a NumPy array over the exported
// buffer (read-only, shared), converted or copied as NumPy's asarray does.
// NumPy is imported only here.
PyObject* tensor_array(PyObject* self, PyObject* args, PyObject* kwargs);
// Tensor.from_buffer(obj): a new tensor holding a converted copy of any
// buffer exporter's elements.
PyObject* tensor_from_buffer(PyObject* cls, PyObject* args, PyObject* kwargs);

// ---- pickling (tensor_pickle.cpp) ---------------------------------------------------
// Tensor.__reduce_ex__(protocol): the shape and the elements in row-major
// order as little-endian f32 bytes; from protocol 5 on as a PickleBuffer, so
// they can travel out of band.
PyObject* tensor_reduce_ex(PyObject* self, PyObject* protocol);
// The rebuild entry of Tensor's record: a tensor from (shape, data).
PyObject* rebuild_tensor(PyObject* fields);

// ---- DLPack (dlpack.cpp) ----------------------------------------------------------
PyObject* tensor_dlpack(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tensor_dlpack_device(PyObject* self, PyObject* unused);
// Tensor.from_dlpack(obj): a new tensor holding a converted copy of any
// DLPack producer's elements.
PyObject* tensor_from_dlpack(PyObject* cls, PyObject* args, PyObject* kwargs);

// ---- shared by both exports --------------------------------------------------------
// Where element [0, ..., 0] lies; a valid address even for empty tensors,
// whose storage may have none.
const float* first_element(const Tensor& t) noexcept;
// The shape and the strides (in elements times `unit`) as signed numbers of
// the consumer's width. False with BufferError pending when one does not fit.
template <class Int>
bool signed_geometry(const Tensor& t, std::uint64_t unit, Int* shape, Int* strides) {
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<Int>::max());
  for (std::size_t d = 0; d < t.ndim(); ++d) {
    const std::uint64_t size = t.shape()[d];
    const std::int64_t step = signed_step(t.strides()[d]);
    const std::uint64_t magnitude = step < 0 ? 0 - static_cast<std::uint64_t>(step) : static_cast<std::uint64_t>(step);
    if (size > kMax || magnitude > kMax / unit) {
      const std::string text = "a tensor of shape " + render_sizes(t.shape().data(), t.ndim()) +
                               " has sizes or strides too large to export";
      PyErr_SetString(PyExc_BufferError, text.c_str());
      return false;
    }
    shape[d] = static_cast<Int>(size);
    strides[d] = static_cast<Int>(step * static_cast<std::int64_t>(unit));
  }
  return true;
}

}  // namespace nimbra::py
