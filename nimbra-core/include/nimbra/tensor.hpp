// Tensor: an n-dimensional array of f32 values over a shared, immutable
// storage buffer. Fresh tensors are row-major with offset 0; views made by
// transpose and reshape share the buffer with other strides or shape.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "nimbra/error.hpp"
#include "nimbra/shape.hpp"
#include "nimbra/storage.hpp"

namespace nimbra {

class Tensor;

// The gradient slot: shared and lock-protected. No operation fills it.
struct GradCell;

// A freshly allocated element buffer that an operation writes its results
// into before it becomes a tensor, so results are never copied again.
class FreshBuffer {
 public:
  // Throws InternalFault for byte counts beyond the signed 64-bit range and
  // std::bad_alloc when memory cannot be had.
  explicit FreshBuffer(std::uint64_t count, bool zeroed = false);
  FreshBuffer(FreshBuffer&&) noexcept;
  FreshBuffer& operator=(FreshBuffer&&) noexcept;
  FreshBuffer(const FreshBuffer&) = delete;
  FreshBuffer& operator=(const FreshBuffer&) = delete;
  ~FreshBuffer();

  float* data() noexcept;
  std::uint64_t size() const noexcept { return count_; }

 private:
  friend class Tensor;
  Buffer* buffer_ = nullptr;
  std::uint64_t count_ = 0;
};

// A tensor's elements in row-major logical order: the storage itself when the
// tensor is plain (read under the buffer's shared lock), else a gathered copy.
class ElementsView {
 public:
  const float* data() const noexcept { return data_; }
  std::uint64_t size() const noexcept { return size_; }
  const float& operator[](std::uint64_t i) const noexcept { return data_[i]; }
  bool is_copy() const noexcept { return copy_ != nullptr; }

 private:
  friend class Tensor;
  ReadGuard guard_;
  std::unique_ptr<float[]> copy_;
  const float* data_ = nullptr;
  std::uint64_t size_ = 0;
};

class Tensor {
 public:
  // A new tensor holding a copy of `data`; InvalidShape when the length is
  // not the shape's element count.
  static Result<Tensor> from_slice(std::span<const float> data, std::span<const std::uint64_t> shape);
  // Every element equal to `value`.
  static Tensor full(std::span<const std::uint64_t> shape, float value);
  static Tensor zeros(std::span<const std::uint64_t> shape) { return full(shape, 0.0f); }
  static Tensor ones(std::span<const std::uint64_t> shape) { return full(shape, 1.0f); }
  // The tensor made from values an operation wrote into `values`, which must
  // hold exactly the shape's element count.
  static Tensor from_fresh(FreshBuffer&& values, std::span<const std::uint64_t> shape);

  const Shape& shape() const noexcept { return shape_; }
  const Strides& strides() const noexcept { return strides_; }
  std::size_t ndim() const noexcept { return shape_.size(); }
  std::uint64_t numel() const noexcept { return numel_of(shape_); }
  std::uint64_t offset() const noexcept { return offset_; }
  const Storage& storage() const noexcept { return storage_; }
  bool requires_grad() const noexcept { return requires_grad_; }
  bool has_grad() const noexcept { return grad_ != nullptr; }
  bool is_contiguous() const noexcept;

  // The elements in row-major logical order, as a new array.
  std::vector<float> data_f32() const;
  // The same values without a copy where the layout allows.
  ElementsView elements() const;
  // Writes the elements in row-major logical order to out[0 .. numel).
  void copy_elements_to(float* out) const;
  // A fresh row-major tensor holding a copy of the elements.
  Tensor row_major_copy() const;
  // True when some stride is negative.
  bool has_negative_step() const noexcept;

  // Fails (InternalFault) unless every element lies inside the storage; for
  // readers that walk the storage through the strides themselves.
  void check_reach() const;

  // A view sharing this tensor's storage: same offset (unless given) and
  // gradient flag, empty gradient slot.
  Tensor view(Shape shape, Strides strides) const { return view(std::move(shape), std::move(strides), offset_); }
  Tensor view(Shape shape, Strides strides, std::uint64_t offset) const;

  // For building strided tensors directly (tests, views of views).
  Tensor(Shape shape, Strides strides, Storage storage, std::uint64_t offset);

 private:
  // Plain: 0-d or row-major strides, and offset 0.
  bool is_plain() const noexcept;
  void gather_strided(float* out) const;

  Shape shape_;
  Strides strides_;
  Storage storage_;
  std::uint64_t offset_ = 0;
  std::shared_ptr<GradCell> grad_;
  bool requires_grad_ = false;
};

struct GradCell {
  std::mutex lock;
  Tensor value;
};

}  // namespace nimbra
