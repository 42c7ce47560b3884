// DLPack export for Tensor: __dlpack__ and __dlpack_device__. A consumer of
// DLPack 1.0 or later shares the elements under the read-only flag; the
// unversioned form cannot carry that flag, so it always gets a copy.
#include "dlpack.hpp"

#include <memory>
#include <vector>

#include "args.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "tensor_interop.hpp"

namespace nimbra::py {

namespace {

using dlpack::kVersioned;
template <class Managed>
constexpr const char* kName = dlpack::kNameOf<Managed>;

// What a capsule hands over: the structure the consumer reads, the shape and
// strides it points to, and one reference on the core storage that keeps the
// elements alive. Releasing it touches no Python object, so a consumer may
// call the deleter on any thread, with or without the interpreter.
template <class Managed>
struct Export {
  Managed managed{};
  std::vector<std::int64_t> geometry;  // shape, then strides
  Storage storage;

  static void release(Managed* self) noexcept { delete static_cast<Export*>(self->manager_ctx); }
};

// A capsule that still has its own name was never taken by a consumer, so
// it still owns its tensor.
template <class Managed>
void drop_unconsumed(PyObject* capsule) {
  if (!PyCapsule_IsValid(capsule, kName<Managed>)) return;
  auto* managed = static_cast<Managed*>(PyCapsule_GetPointer(capsule, kName<Managed>));
  managed->deleter(managed);
}

template <class Managed>
PyObject* make_capsule(const Tensor& exported, std::uint64_t flags) {
  auto owner = std::make_unique<Export<Managed>>();
  const std::size_t ndim = exported.ndim();
  owner->geometry.resize(2 * ndim);
  std::int64_t* shape = owner->geometry.data();
  if (!signed_geometry(exported, 1, shape, shape + ndim)) return nullptr;
  dlpack::Tensor& dl = owner->managed.dl_tensor;
  dl.data = const_cast<float*>(first_element(exported));
  dl.device = {dlpack::kDeviceCpu, 0};
  dl.ndim = static_cast<std::int32_t>(ndim);
  dl.dtype = {dlpack::kCodeFloat, 32, 1};
  dl.shape = ndim ? shape : nullptr;
  dl.strides = ndim ? shape + ndim : nullptr;
  dl.byte_offset = 0;
  owner->managed.manager_ctx = owner.get();
  owner->managed.deleter = &Export<Managed>::release;
  if constexpr (kVersioned<Managed>) {
    owner->managed.version = {dlpack::kMajorVersion, dlpack::kMinorVersion};
    owner->managed.flags = flags;
  }
  owner->storage = exported.storage();
  PyObject* capsule = PyCapsule_New(&owner->managed, kName<Managed>, &drop_unconsumed<Managed>);
  if (capsule) owner.release();  // the capsule owns it now
  return capsule;
}

// A (major, minor) or (device_type, device_id) pair; None leaves `out` alone.
bool to_pair(PyObject* value, const char* name, std::int32_t out[2]) {
  if (value == Py_None) return true;
  if (!PyTuple_Check(value) || PyTuple_Size(value) != 2) {
    PyErr_Format(PyExc_TypeError, "Tensor.__dlpack__(): %s must be a tuple of two integers or None", name);
    return false;
  }
  for (Py_ssize_t i = 0; i < 2; ++i) {
    if (!to_i32(PyTuple_GetItem(value, i), out[i])) {
      name_argument_error(name);
      return false;
    }
  }
  return true;
}

}  // namespace

PyObject* tensor_dlpack(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"stream", "max_version", "dl_device", "copy", nullptr};
    PyObject* stream = Py_None;
    PyObject* max_version = Py_None;
    PyObject* dl_device = Py_None;
    PyObject* copy = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOOO:__dlpack__", const_cast<char**>(names), &stream,
                                     &max_version, &dl_device, &copy))
      return nullptr;
    std::int32_t version[2] = {0, 0};
    std::int32_t device[2] = {dlpack::kDeviceCpu, 0};
    if (!to_pair(max_version, "max_version", version) || !to_pair(dl_device, "dl_device", device))
      return nullptr;
    if (copy != Py_None && copy != Py_True && copy != Py_False) {
      PyErr_SetString(PyExc_TypeError, "Tensor.__dlpack__(): copy must be True, False or None");
      return nullptr;
    }
    if (stream != Py_None) {
      PyErr_SetString(PyExc_ValueError, "Tensor.__dlpack__(): tensors live on the CPU, which has no streams: "
                                        "stream must be None");
      return nullptr;
    }
    if (device[0] != dlpack::kDeviceCpu || device[1] != 0) {
      PyErr_Format(PyExc_BufferError,
                   "Tensor.__dlpack__(): tensors live on the CPU, device (1, 0), and cannot be exported to "
                   "device (%d, %d)",
                   device[0], device[1]);
      return nullptr;
    }
    const bool versioned = max_version != Py_None && version[0] >= 1;
    if (copy == Py_False && !versioned) {
      PyErr_SetString(PyExc_BufferError,
                      "Tensor.__dlpack__(): copy=False needs a consumer of DLPack 1.0 or later, which can be "
                      "told the shared elements are read-only");
      return nullptr;
    }
    Borrow<Tensor> t(self);
    t->check_reach();
    const bool copied = copy == Py_True || !versioned;
    const Tensor exported = copied ? t->row_major_copy() : *t;
    if (!versioned) return make_capsule<dlpack::ManagedTensor>(exported, 0);
    return make_capsule<dlpack::ManagedTensorVersioned>(exported,
                                                        copied ? dlpack::kFlagIsCopied : dlpack::kFlagReadOnly);
  });
}

PyObject* tensor_dlpack_device(PyObject*, PyObject*) {
  return Py_BuildValue("(ii)", dlpack::kDeviceCpu, 0);
}

}  // namespace nimbra::py
