#include "nimbra/foreign.hpp"

#include <bit>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "nimbra/fault.hpp"
#include "nimbra/shape.hpp"

namespace nimbra {

std::size_t element_size(ElementKind kind) noexcept {
  switch (kind) {
    case ElementKind::I8:
    case ElementKind::U8: return 1;
    case ElementKind::I16:
    case ElementKind::U16: return 2;
    case ElementKind::F32:
    case ElementKind::I32:
    case ElementKind::U32: return 4;
    case ElementKind::F64:
    case ElementKind::I64:
    case ElementKind::U64: return 8;
  }
  return 0;
}

namespace {

template <std::size_t N>
struct SameWidth;
template <>
struct SameWidth<1> { using type = std::uint8_t; };
template <>
struct SameWidth<2> { using type = std::uint16_t; };
template <>
struct SameWidth<4> { using type = std::uint32_t; };
template <>
struct SameWidth<8> { using type = std::uint64_t; };

// One element from a place of any alignment, in this machine's byte order.
template <class T, bool Swap>
T load(const std::byte* at) noexcept {
  using U = typename SameWidth<sizeof(T)>::type;
  U raw;
  std::memcpy(&raw, at, sizeof raw);
  if constexpr (Swap) {
    if constexpr (sizeof(T) == 2) raw = __builtin_bswap16(raw);
    if constexpr (sizeof(T) == 4) raw = __builtin_bswap32(raw);
    if constexpr (sizeof(T) == 8) raw = __builtin_bswap64(raw);
  }
  return std::bit_cast<T>(raw);
}

// A Python number becomes a double, then an f32; the double is exact for
// every kind but the 64-bit integers, which can therefore round twice.
template <class T>
float to_f32(T v) noexcept {
  if constexpr (std::is_floating_point_v<T>) {
    return static_cast<float>(v);
  } else {
    return static_cast<float>(static_cast<double>(v));
  }
}

// out[i] = the element at from + i * stride bytes, converted; i < n.
template <class T, bool Swap>
void convert_run(const std::byte* from, std::int64_t stride, std::uint64_t n, float* out) noexcept {
  if (stride != static_cast<std::int64_t>(sizeof(T))) {
    for (std::uint64_t i = 0; i < n; ++i) out[i] = to_f32(load<T, Swap>(from + static_cast<std::int64_t>(i) * stride));
  } else if constexpr (std::is_same_v<T, float> && !Swap) {
    std::memcpy(out, from, n * sizeof(float));
  } else {
    // Packed elements get their own loop, which the compiler vectorises
    // (rounding double to float is exact per element at any vector width).
    for (std::uint64_t i = 0; i < n; ++i) out[i] = to_f32(load<T, Swap>(from + i * sizeof(T)));
  }
}

using RunFn = void (*)(const std::byte*, std::int64_t, std::uint64_t, float*) noexcept;

template <class T>
RunFn run_of(bool swapped) {
  return swapped ? &convert_run<T, true> : &convert_run<T, false>;
}

RunFn run_for(ElementKind kind, bool swapped) {
  switch (kind) {
    case ElementKind::F32: return run_of<float>(swapped);
    case ElementKind::F64: return run_of<double>(swapped);
    case ElementKind::I8: return run_of<std::int8_t>(swapped);
    case ElementKind::I16: return run_of<std::int16_t>(swapped);
    case ElementKind::I32: return run_of<std::int32_t>(swapped);
    case ElementKind::I64: return run_of<std::int64_t>(swapped);
    case ElementKind::U8: return run_of<std::uint8_t>(swapped);
    case ElementKind::U16: return run_of<std::uint16_t>(swapped);
    case ElementKind::U32: return run_of<std::uint32_t>(swapped);
    case ElementKind::U64: return run_of<std::uint64_t>(swapped);
  }
  fail_impossible("internal error: unknown element kind");
}

struct Dim {
  std::uint64_t size;
  std::int64_t stride;
};

// The walk over the source: dimensions of size 1 dropped and neighbours
// that step through memory as one merged, so packed sources become a single
// run and padded rows a loop of long runs. Never empty: a 0-d source is one
// run of one element.
std::vector<Dim> walk_of(const ForeignElements& source, std::int64_t item) {
  std::vector<Dim> dims;
  for (std::size_t d = 0; d < source.shape.size(); ++d) {
    const Dim next{static_cast<std::uint64_t>(source.shape[d]), source.strides[d]};
    if (next.size == 1) continue;
    std::int64_t reach = 0;
    if (!dims.empty() && !__builtin_mul_overflow(next.stride, source.shape[d], &reach) &&
        dims.back().stride == reach) {
      dims.back() = Dim{dims.back().size * next.size, next.stride};
    } else {
      dims.push_back(next);
    }
  }
  if (dims.empty()) dims.push_back(Dim{1, item});
  return dims;
}

std::string render_signed(std::span<const std::int64_t> shape) {
  std::string out = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) out += (i ? ", " : "") + std::to_string(shape[i]);
  return out + "]";
}

}  // namespace

Result<Tensor> import_elements(const ForeignElements& source) {
  if (source.strides.size() != source.shape.size())
    fail_precondition("a foreign buffer needs one stride per dimension");
  for (std::int64_t size : source.shape) {
    if (size < 0) {
      return err::InvalidShape{"negative size " + std::to_string(size) + " in shape " +
                               render_signed(source.shape)};
    }
  }
  const Sizes shape(source.shape.begin(), source.shape.end());
  const std::uint64_t n = checked_numel(shape);
  const std::size_t item = element_size(source.kind);
  std::uint64_t packed = 0;
  if (__builtin_mul_overflow(n, item, &packed) || packed != source.length) {
    return err::InvalidShape{"a buffer of " + std::to_string(source.length) + " bytes cannot hold shape " +
                             render_sizes(shape) + " of " + std::to_string(item) + "-byte elements"};
  }
  if (n > 0 && !source.data) return err::InvalidShape{"no element data for shape " + render_sizes(shape)};

  FreshBuffer values(n);
  if (n > 0) {
    const RunFn run = run_for(source.kind, source.byte_swapped);
    const std::vector<Dim> dims = walk_of(source, static_cast<std::int64_t>(item));
    const Dim inner = dims.back();
    const std::size_t outer = dims.size() - 1;
    std::vector<std::uint64_t> index(outer, 0);
    const auto* base = static_cast<const std::byte*>(source.data);
    float* out = values.data();
    for (std::uint64_t done = 0; done < n; done += inner.size) {
      run(base, inner.stride, inner.size, out);
      out += inner.size;
      // Advance the outer index, last dimension fastest.
      for (std::size_t d = outer; d-- > 0;) {
        base += dims[d].stride;
        if (++index[d] < dims[d].size) break;
        base -= dims[d].stride * static_cast<std::int64_t>(dims[d].size);
        index[d] = 0;
      }
    }
  }
  return Tensor::from_fresh(std::move(values), shape);
}

}  // namespace nimbra
