// DLPack import for Tensor: Tensor.from_dlpack(obj) asks any producer for a
// capsule (versioned when it can make one, else the unversioned form), takes
// it over, and copies its elements into a fresh tensor, converted as
// from_buffer converts them. The producer's deleter runs exactly once.
#include <iterator>
#include <string>
#include <vector>

#include "args.hpp"
#include "dlpack.hpp"
#include "errors.hpp"
#include "nimbra/foreign.hpp"
#include "tensor_class.hpp"
#include "tensor_interop.hpp"

namespace nimbra::py {

namespace {

// The element kinds from_buffer reads, as DLPack names them.
bool element_kind(dlpack::DataType type, ElementKind& out) {
  if (type.lanes != 1) return false;
  static constexpr ElementKind kSigned[] = {ElementKind::I8, ElementKind::I16, ElementKind::I32, ElementKind::I64};
  static constexpr ElementKind kUnsigned[] = {ElementKind::U8, ElementKind::U16, ElementKind::U32, ElementKind::U64};
  const int slot = type.bits == 8 ? 0 : type.bits == 16 ? 1 : type.bits == 32 ? 2 : type.bits == 64 ? 3 : -1;
  switch (type.code) {
    case dlpack::kCodeFloat:
      if (type.bits != 32 && type.bits != 64) return false;
      out = type.bits == 32 ? ElementKind::F32 : ElementKind::F64;
      return true;
    case dlpack::kCodeInt:
    case dlpack::kCodeUInt:
      if (slot < 0) return false;
      out = (type.code == dlpack::kCodeInt ? kSigned : kUnsigned)[slot];
      return true;
    default:
      return false;
  }
}

// "float16", "bool8", "int32x4": how a refused element type is named.
std::string type_name(dlpack::DataType type) {
  static const char* const kNames[] = {"int", "uint", "float", "handle", "bfloat", "complex", "bool"};
  std::string name = type.code < std::size(kNames) ? std::string(kNames[type.code]) + std::to_string(type.bits)
                                                   : "code " + std::to_string(type.code) + " of " +
                                                         std::to_string(type.bits) + " bits";
  if (type.lanes != 1) name += "x" + std::to_string(type.lanes);
  return name;
}

PyObject* refuse(PyObject* type, const std::string& text) {
  const std::string message = "Tensor.from_dlpack(): " + text;
  PyErr_SetString(type, message.c_str());
  return nullptr;
}

PyObject* refuse_device(std::int64_t type, std::int64_t id) {
  return refuse(PyExc_BufferError, "the elements are on device (" + std::to_string(type) + ", " +
                                       std::to_string(id) + "), not the CPU (1, 0); move them to the CPU first");
}

// Refuses a producer whose __dlpack_device__ names another device than the
// CPU, before anything is exported.
bool on_the_cpu(PyObject* producer) {
  OwnedRef device(PyObject_CallMethod(producer, "__dlpack_device__", nullptr));
  if (!device) return false;
  long long type = 0, id = 0;
  if (!PyTuple_Check(device.get()) || PyTuple_Size(device.get()) != 2 ||
      ((type = PyLong_AsLongLong(PyTuple_GetItem(device.get(), 0))) == -1 && PyErr_Occurred()) ||
      ((id = PyLong_AsLongLong(PyTuple_GetItem(device.get(), 1))) == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    refuse(PyExc_TypeError, "__dlpack_device__() must return a pair of integers");
    return false;
  }
  return type == dlpack::kDeviceCpu || refuse_device(type, id);
}

// The capsule of a versioned export when the producer takes max_version,
// else of an unversioned one.
PyObject* request_capsule(PyObject* producer) {
  OwnedRef method(PyObject_GetAttrString(producer, "__dlpack__"));
  if (!method) return nullptr;
  OwnedRef no_args(PyTuple_New(0));
  OwnedRef kwargs(Py_BuildValue("{s(II)}", "max_version", dlpack::kMajorVersion, dlpack::kMinorVersion));
  if (!no_args || !kwargs) return nullptr;
  PyObject* capsule = PyObject_Call(method.get(), no_args.get(), kwargs.get());
  // A producer older than the versioned form does not know the keyword.
  if (!capsule && PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    capsule = PyObject_Call(method.get(), no_args.get(), nullptr);
  }
  return capsule;
}

// Runs the producer's deleter when the import is done, however it ends.
template <class Managed>
struct Taken {
  Managed* managed;
  ~Taken() {
    if (managed->deleter) managed->deleter(managed);
  }
};

template <class Managed>
PyObject* import_capsule(PyObject* capsule) {
  auto* managed = static_cast<Managed*>(PyCapsule_GetPointer(capsule, dlpack::kNameOf<Managed>));
  if (!managed) return nullptr;
  if constexpr (dlpack::kVersioned<Managed>) {
    // A layout of another major version is unreadable beyond its first
    // fields: the capsule, left unconsumed, releases it.
    if (managed->version.major != dlpack::kMajorVersion) {
      return refuse(PyExc_BufferError, "the producer exported DLPack " + std::to_string(managed->version.major) +
                                           "." + std::to_string(managed->version.minor) +
                                           ", which this library cannot read (it reads 1.x)");
    }
  }
  // Renamed, the capsule no longer releases the tensor: this import does.
  if (PyCapsule_SetName(capsule, dlpack::kUsedNameOf<Managed>) < 0) return nullptr;
  const Taken<Managed> taken{managed};
  const dlpack::Tensor& dl = managed->dl_tensor;
  if (dl.device.device_type != dlpack::kDeviceCpu) return refuse_device(dl.device.device_type, dl.device.device_id);
  ForeignElements source;
  if (!element_kind(dl.dtype, source.kind)) {
    return refuse(PyExc_TypeError, "cannot read elements of type " + type_name(dl.dtype) +
                                       ": it reads float32, float64 and signed or unsigned integers");
  }
  if (dl.ndim < 0 || (dl.ndim > 0 && !dl.shape)) {
    return refuse(PyExc_ValueError, "the producer describes its tensor inconsistently (" + std::to_string(dl.ndim) +
                                        " dimensions)");
  }
  // Strides in elements become strides in bytes; none means row-major.
  const auto ndim = static_cast<std::size_t>(dl.ndim);
  const auto item = static_cast<std::int64_t>(element_size(source.kind));
  std::vector<std::int64_t> strides(ndim);
  std::int64_t row_major = 1;  // wraps only for shapes the import refuses
  for (std::size_t d = ndim; d-- > 0;) {
    const std::int64_t elements = dl.strides ? dl.strides[d] : row_major;
    if (__builtin_mul_overflow(elements, item, &strides[d]))
      return refuse(PyExc_ValueError, "a stride of " + std::to_string(elements) + " elements is out of range");
    row_major = static_cast<std::int64_t>(static_cast<std::uint64_t>(row_major) * static_cast<std::uint64_t>(dl.shape[d]));
  }
  source.data = static_cast<const std::byte*>(dl.data) + dl.byte_offset;
  source.shape = {dl.shape, ndim};
  source.strides = {strides.data(), ndim};
  // The packed byte count, wrapping as the import's own check expects.
  std::uint64_t count = static_cast<std::uint64_t>(item);
  for (std::size_t d = 0; d < ndim; ++d) count *= static_cast<std::uint64_t>(dl.shape[d]);
  source.length = count;
  Result<Tensor> made = import_elements(source);
  if (!made) return raise_tensor_error("Failed to create tensor: ", made.error());
  return wrap_tensor(std::move(made).value());
}

}  // namespace

PyObject* tensor_from_dlpack(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const ArgSpec spec{"Tensor", "from_dlpack", {"obj"}};
    PyObject* argv[1];
    if (!parse_args(spec, args, kwargs, argv)) return nullptr;
    PyObject* producer = argv[0];
    if (!PyObject_HasAttrString(producer, "__dlpack__")) {
      raise_conversion_error(producer, "DLPack producer");
      name_argument_error("obj");
      return nullptr;
    }
    if (PyObject_HasAttrString(producer, "__dlpack_device__") && !on_the_cpu(producer)) return nullptr;
    OwnedRef capsule(request_capsule(producer));
    if (!capsule) return nullptr;
    if (PyCapsule_IsValid(capsule.get(), dlpack::kVersionedCapsuleName))
      return import_capsule<dlpack::ManagedTensorVersioned>(capsule.get());
    if (PyCapsule_IsValid(capsule.get(), dlpack::kCapsuleName))
      return import_capsule<dlpack::ManagedTensor>(capsule.get());
    const char* name = PyCapsule_CheckExact(capsule.get()) ? PyCapsule_GetName(capsule.get()) : nullptr;
    PyErr_Clear();
    return refuse(PyExc_TypeError, name ? "__dlpack__() returned a capsule named '" + std::string(name) +
                                              "', not an unconsumed DLPack tensor"
                                        : std::string("__dlpack__() did not return a capsule"));
  });
}

}  // namespace nimbra::py
