// Tensors made from element buffers that other libraries own: the common
// numeric element types, either byte order, any byte strides. The elements
// are converted into a fresh f32 tensor, because a tensor never changes
// while its source may.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "nimbra/error.hpp"
#include "nimbra/tensor.hpp"

namespace nimbra {

enum class ElementKind : std::uint8_t { F32, F64, I8, I16, I32, I64, U8, U16, U32, U64 };

// Bytes per element.
std::size_t element_size(ElementKind kind) noexcept;

// Someone else's strided elements, read but never written.
struct ForeignElements {
  const void* data = nullptr;  // element [0, ..., 0]; unused when there are no elements
  ElementKind kind = ElementKind::F32;
  bool byte_swapped = false;              // stored in the byte order opposite to this machine's
  std::span<const std::int64_t> shape;    // entries must not be negative
  std::span<const std::int64_t> strides;  // in bytes, any sign; one per shape entry
  // The byte count the owner declares for the elements packed together; it
  // must be the element count times the element size, or the owner's
  // description cannot be trusted.
  std::uint64_t length = 0;
};

// A fresh row-major tensor of the same shape whose elements are the source's
// converted to f32 the way a Python number becomes one: floats and integers
// of up to 32 bits round once to the nearest f32, 64-bit integers go to the
// nearest double first. InvalidShape for a negative size, a declared length
// that does not match, or a missing data pointer; an element count beyond 64
// bits is a precondition fault, as for every constructor.
Result<Tensor> import_elements(const ForeignElements& source);

}  // namespace nimbra
