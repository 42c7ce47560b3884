// The DLPack exchange structures, laid out as the published DLPack ABI
// (version 1.0) lays them out, with the capsule names of its Python
// protocol. Only what exporting f32 tensors from the CPU and importing
// numeric elements from it needs.
#pragma once

#include <cstdint>
#include <type_traits>

namespace nimbra::py::dlpack {

inline constexpr std::uint32_t kMajorVersion = 1;
inline constexpr std::uint32_t kMinorVersion = 0;

inline constexpr std::int32_t kDeviceCpu = 1;  // DLDeviceType kDLCPU
// DLDataTypeCode
inline constexpr std::uint8_t kCodeInt = 0;
inline constexpr std::uint8_t kCodeUInt = 1;
inline constexpr std::uint8_t kCodeFloat = 2;

inline constexpr std::uint64_t kFlagReadOnly = std::uint64_t{1} << 0;
inline constexpr std::uint64_t kFlagIsCopied = std::uint64_t{1} << 1;

// A capsule carries one of these names until a consumer takes it over and
// renames it to "used_" + name; from then on the consumer owns the tensor.
inline constexpr const char* kCapsuleName = "dltensor";
inline constexpr const char* kVersionedCapsuleName = "dltensor_versioned";
inline constexpr const char* kUsedCapsuleName = "used_dltensor";
inline constexpr const char* kUsedVersionedCapsuleName = "used_dltensor_versioned";

struct Version {
  std::uint32_t major;
  std::uint32_t minor;
};

struct Device {
  std::int32_t device_type;  // a C enum in the published header: int-sized
  std::int32_t device_id;
};

struct DataType {
  std::uint8_t code;
  std::uint8_t bits;
  std::uint16_t lanes;
};

struct Tensor {
  void* data;
  Device device;
  std::int32_t ndim;
  DataType dtype;
  std::int64_t* shape;
  std::int64_t* strides;  // in elements, not bytes
  std::uint64_t byte_offset;
};

// The unversioned form, which has no flags and so cannot say read-only.
struct ManagedTensor {
  Tensor dl_tensor;
  void* manager_ctx;
  void (*deleter)(ManagedTensor* self);
};

struct ManagedTensorVersioned {
  Version version;
  void* manager_ctx;
  void (*deleter)(ManagedTensorVersioned* self);
  std::uint64_t flags;
  Tensor dl_tensor;
};

// The capsule names of either form, before and after a consumer takes it.
template <class Managed>
inline constexpr bool kVersioned = std::is_same_v<Managed, ManagedTensorVersioned>;
template <class Managed>
inline constexpr const char* kNameOf = kVersioned<Managed> ? kVersionedCapsuleName : kCapsuleName;
template <class Managed>
inline constexpr const char* kUsedNameOf = kVersioned<Managed> ? kUsedVersionedCapsuleName : kUsedCapsuleName;

static_assert(sizeof(void*) != 8 ||
                  (sizeof(Tensor) == 48 && sizeof(ManagedTensor) == 64 && sizeof(ManagedTensorVersioned) == 80),
              "the DLPack structures must keep the published layout");

}  // namespace nimbra::py::dlpack
