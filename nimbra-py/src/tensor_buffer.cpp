// The buffer protocol for Tensor: read-only zero-copy export of the elements
// as they lie, and Tensor.from_buffer, which copies any exporter's elements.
#include <bit>
#include <vector>

#include "args.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "nimbra/foreign.hpp"
#include "tensor_class.hpp"
#include "tensor_interop.hpp"

namespace nimbra::py {

const float* first_element(const Tensor& t) noexcept {
  static const float kNoElements = 0.0f;
  const Buffer* buffer = t.storage().buffer();
  if (t.numel() == 0 || !buffer || !buffer->data()) return &kNoElements;
  return buffer->data() + t.offset();
}

namespace {

// The interpreter's rule: size-1 dimensions may have any stride, and a
// buffer without elements is contiguous either way.
bool contiguous(const Py_ssize_t* shape, const Py_ssize_t* strides, int ndim, bool row_major) {
  Py_ssize_t step = sizeof(float);
  for (int i = 0; i < ndim; ++i) {
    if (shape[i] == 0) return true;
  }
  for (int i = 0; i < ndim; ++i) {
    const int d = row_major ? ndim - 1 - i : i;
    if (shape[d] > 1 && strides[d] != step) return false;
    step *= shape[d];
  }
  return true;
}

bool refuse(const char* text) {
  PyErr_SetString(PyExc_BufferError, text);
  return false;
}

// Whether the consumer's request can be met by the layout as it is.
bool request_met(int flags, const Py_ssize_t* shape, const Py_ssize_t* strides, int ndim) {
  const bool c_order = contiguous(shape, strides, ndim, true);
  const bool f_order = contiguous(shape, strides, ndim, false);
  if ((flags & PyBUF_STRIDES) != PyBUF_STRIDES && !c_order)
    return refuse("a Tensor view that is not row-major can only be exported with strides");
  if ((flags & PyBUF_C_CONTIGUOUS) == PyBUF_C_CONTIGUOUS && !c_order)
    return refuse("the Tensor is not row-major contiguous: ask for a strided buffer");
  if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !f_order)
    return refuse("the Tensor is not column-major contiguous: ask for a strided buffer");
  if ((flags & PyBUF_ANY_CONTIGUOUS) == PyBUF_ANY_CONTIGUOUS && !c_order && !f_order)
    return refuse("the Tensor is not contiguous: ask for a strided buffer");
  return true;
}

}  // namespace

int tensor_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  view->obj = nullptr;
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "Tensor elements are read-only: a writable buffer cannot be exported");
    return -1;
  }
  const bool ok = guarded([&]() -> bool {
    Borrow<Tensor> t(self);
    t->check_reach();
    const int ndim = static_cast<int>(t->ndim());
    // Shape then strides, alive until the buffer is released.
    auto* geometry = static_cast<Py_ssize_t*>(PyMem_Malloc(2 * static_cast<std::size_t>(ndim) * sizeof(Py_ssize_t)));
    if (!geometry) {
      PyErr_NoMemory();
      return false;
    }
    Py_ssize_t* shape = geometry;
    Py_ssize_t* strides = geometry + ndim;
    if (!signed_geometry(*t, sizeof(float), shape, strides) || !request_met(flags, shape, strides, ndim)) {
      PyMem_Free(geometry);
      return false;
    }
    const bool with_shape = (flags & PyBUF_ND) == PyBUF_ND;
    view->buf = const_cast<float*>(first_element(*t));
    view->len = static_cast<Py_ssize_t>(t->numel() * sizeof(float));
    view->readonly = 1;
    view->itemsize = sizeof(float);
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("f") : nullptr;
    // Without a shape the consumer sees plain bytes, one dimension of them.
    view->ndim = with_shape ? ndim : 1;
    view->shape = with_shape && ndim > 0 ? shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES && ndim > 0 ? strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = geometry;
    view->obj = Py_NewRef(self);  // keeps the tensor, and so its elements, alive
    return true;
  });
  return ok ? 0 : -1;
}

void tensor_releasebuffer(PyObject*, Py_buffer* view) { PyMem_Free(view->internal); }

PyObject* tensor_array(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"dtype", "copy", nullptr};
    PyObject* dtype = Py_None;
    PyObject* copy = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:__array__", const_cast<char**>(names), &dtype, &copy))
      return nullptr;
    if (copy != Py_None && copy != Py_True && copy != Py_False) {
      PyErr_SetString(PyExc_TypeError, "Tensor.__array__(): copy must be True, False or None");
      return nullptr;
    }
    // Through a memoryview, so a tensor that cannot be exported raises the
    // export's error here: given the tensor itself, NumPy would swallow it
    // and call this method again.
    OwnedRef view(PyMemoryView_FromObject(self));
    if (!view) return nullptr;
    OwnedRef numpy(PyImport_ImportModule("numpy"));
    OwnedRef asarray(numpy ? PyObject_GetAttrString(numpy.get(), "asarray") : nullptr);
    if (!asarray) return nullptr;
    // copy=None is left out for NumPy 1, whose asarray has no such keyword.
    OwnedRef call_args(PyTuple_Pack(1, view.get()));
    OwnedRef call_kwargs(copy == Py_None ? Py_BuildValue("{s:O}", "dtype", dtype)
                                         : Py_BuildValue("{s:O,s:O}", "dtype", dtype, "copy", copy));
    if (!call_args || !call_kwargs) return nullptr;
    return PyObject_Call(asarray.get(), call_args.get(), call_kwargs.get());
  });
}

namespace {

// The element kind a struct-module format names: an optional byte-order
// prefix and one item code. No prefix or '@' means native sizes and order;
// '=', '<', '>' and '!' mean standard sizes ('l' and 'L' are 4 bytes, and
// 'n' and 'N' do not exist).
bool parse_format(const char* format, ElementKind& kind, bool& swapped) {
  const char* code = format ? format : "B";  // no format means unsigned bytes
  bool native = true;
  bool little = std::endian::native == std::endian::little;
  switch (*code) {
    case '@': ++code; break;
    case '=': native = false; ++code; break;
    case '<': native = false; little = true; ++code; break;
    case '>':
    case '!': native = false; little = false; ++code; break;
    default: break;
  }
  if (code[0] == '\0' || code[1] != '\0') return false;
  swapped = little != (std::endian::native == std::endian::little);
  std::size_t size = 0;
  switch (code[0]) {
    case 'f': kind = ElementKind::F32; return true;
    case 'd': kind = ElementKind::F64; return true;
    case 'b': case 'B': size = 1; break;
    case 'h': case 'H': size = 2; break;
    case 'i': case 'I': size = native ? sizeof(int) : 4; break;
    case 'l': case 'L': size = native ? sizeof(long) : 4; break;
    case 'q': case 'Q': size = native ? sizeof(long long) : 8; break;
    case 'n': case 'N': if (!native) return false; size = sizeof(std::size_t); break;
    default: return false;
  }
  static constexpr ElementKind kSigned[] = {ElementKind::I8, ElementKind::I16, ElementKind::I32, ElementKind::I64};
  static constexpr ElementKind kUnsigned[] = {ElementKind::U8, ElementKind::U16, ElementKind::U32, ElementKind::U64};
  const int slot = std::countr_zero(size);
  kind = (code[0] >= 'a' ? kSigned : kUnsigned)[slot];
  return true;
}

// The description of an exported buffer that the core import reads, or
// false with the exception pending.
bool describe(const Py_buffer& view, ForeignElements& out, std::vector<std::int64_t>& geometry) {
  if (view.suboffsets) {
    PyErr_SetString(PyExc_TypeError, "Tensor.from_buffer() cannot read buffers with suboffsets");
    return false;
  }
  if (!parse_format(view.format, out.kind, out.byte_swapped)) {
    PyErr_Format(PyExc_TypeError,
                 "Tensor.from_buffer() cannot read items of format '%.40s': it reads float32, float64 "
                 "and signed or unsigned integers",
                 view.format ? view.format : "B");
    return false;
  }
  const auto item = static_cast<Py_ssize_t>(element_size(out.kind));
  if (view.itemsize != item || view.len < 0 || view.ndim < 0 || (view.ndim > 0 && !view.shape)) {
    PyErr_Format(PyExc_ValueError,
                 "Tensor.from_buffer(): the exporter describes its buffer inconsistently (format '%.40s', "
                 "item size %zd, length %zd, %d dimensions)",
                 view.format ? view.format : "B", view.itemsize, view.len, view.ndim);
    return false;
  }
  const auto ndim = static_cast<std::size_t>(view.ndim);
  geometry.resize(2 * ndim);
  // Without strides the buffer is row-major; the products wrap harmlessly
  // for shapes whose length check fails anyway.
  std::uint64_t step = static_cast<std::uint64_t>(item);
  for (std::size_t d = ndim; d-- > 0;) {
    geometry[d] = view.shape[d];
    geometry[ndim + d] = view.strides ? view.strides[d] : static_cast<std::int64_t>(step);
    step *= static_cast<std::uint64_t>(view.shape[d]);
  }
  out.data = view.buf;
  out.shape = {geometry.data(), ndim};
  out.strides = {geometry.data() + ndim, ndim};
  out.length = static_cast<std::uint64_t>(view.len);
  return true;
}

}  // namespace

PyObject* tensor_from_buffer(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const ArgSpec spec{"Tensor", "from_buffer", {"obj"}};
    PyObject* argv[1];
    if (!parse_args(spec, args, kwargs, argv)) return nullptr;
    HeldBuffer held;
    if (!held.get(argv[0])) {
      name_argument_error("obj");
      return nullptr;
    }
    ForeignElements source;
    std::vector<std::int64_t> geometry;
    if (!describe(held.view(), source, geometry)) return nullptr;
    Result<Tensor> made = import_elements(source);
    if (!made) return raise_tensor_error("Failed to create tensor: ", made.error());
    return wrap_tensor(std::move(made).value());
  });
}

}  // namespace nimbra::py
