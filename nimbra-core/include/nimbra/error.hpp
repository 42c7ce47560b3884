// TensorError: the one error value of every fallible core operation, and
// Result<T>, which carries either a value or such an error.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace nimbra {

using Sizes = std::vector<std::uint64_t>;

// The order is the kind's code.
enum class ErrorKind : std::uint8_t {
  ShapeMismatch,
  InvalidShape,
  DimOutOfBounds,
  IndexOutOfBounds,
  DTypeMismatch,
  DeviceMismatch,
  BroadcastError,
  NoGradient,
  AllocationError,
  CudaError,
  DeviceError,
  InvalidOperation,
  IOError,
  InvalidFormat,
  NotImplemented,
};

namespace err {
struct ShapeMismatch { Sizes expected, got; };
struct DimOutOfBounds { std::uint64_t dim, ndim; };
struct IndexOutOfBounds { std::uint64_t index, size; };
struct DTypeMismatch { std::string expected, got; };
struct DeviceMismatch {};
struct BroadcastError { Sizes a, b; };
struct NoGradient {};
// The kinds that carry one text; K keeps them distinct types.
template <ErrorKind K>
struct Text { std::string text; };
using InvalidShape = Text<ErrorKind::InvalidShape>;
using AllocationError = Text<ErrorKind::AllocationError>;
using CudaError = Text<ErrorKind::CudaError>;
using DeviceError = Text<ErrorKind::DeviceError>;
using InvalidOperation = Text<ErrorKind::InvalidOperation>;
using IOError = Text<ErrorKind::IOError>;
using InvalidFormat = Text<ErrorKind::InvalidFormat>;
using NotImplemented = Text<ErrorKind::NotImplemented>;
}  // namespace err

class TensorError {
 public:
  // Alternatives in code order, so index() is the kind's code.
  using Variant = std::variant<err::ShapeMismatch, err::InvalidShape, err::DimOutOfBounds,
                               err::IndexOutOfBounds, err::DTypeMismatch, err::DeviceMismatch,
                               err::BroadcastError, err::NoGradient, err::AllocationError,
                               err::CudaError, err::DeviceError, err::InvalidOperation,
                               err::IOError, err::InvalidFormat, err::NotImplemented>;

  template <class K>
  TensorError(K kind) : value_(std::move(kind)) {}  // NOLINT: implicit on purpose

  ErrorKind kind() const noexcept { return static_cast<ErrorKind>(value_.index()); }
  template <class K>
  const K* get() const noexcept { return std::get_if<K>(&value_); }

  // The human-readable message.
  std::string display() const;
  // Kind name and fields, for reports of internal faults.
  std::string debug() const;

 private:
  Variant value_;
};

// "[2, 3]"; an empty list renders as "[]".
std::string render_sizes(const std::uint64_t* sizes, std::size_t count);
inline std::string render_sizes(const Sizes& sizes) { return render_sizes(sizes.data(), sizes.size()); }
// Double-quoted, with quote, backslash and non-printable characters escaped.
std::string quote_text(const std::string& text);

// A value or a TensorError.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(TensorError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  template <class K, class = std::enable_if_t<std::is_constructible_v<TensorError::Variant, K> &&
                                              !std::is_same_v<std::decay_t<K>, T>>>
  Result(K kind) : v_(std::in_place_index<1>, TensorError(std::move(kind))) {}  // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const TensorError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, TensorError> v_;
};

}  // namespace nimbra
