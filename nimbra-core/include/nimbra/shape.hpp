// Shape and Strides: small arrays of unsigned 64-bit entries. Up to six
// entries live inside the object, so tensors of up to six dimensions need no
// heap block for their geometry. A stride entry holds a signed element step
// in two's complement (a view sliced with a negative step walks backwards);
// read it through signed_step wherever its sign matters.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>

namespace nimbra {

class DimVec {
 public:
  static constexpr std::size_t kInline = 6;

  DimVec() noexcept = default;
  explicit DimVec(std::span<const std::uint64_t> values) { assign(values); }
  DimVec(std::initializer_list<std::uint64_t> values)
      : DimVec(std::span<const std::uint64_t>(values.begin(), values.size())) {}
  // n entries, all zero.
  static DimVec zeros(std::size_t n) {
    DimVec v;
    v.resize_uninit(n);
    std::fill(v.begin(), v.end(), 0);
    return v;
  }

  DimVec(const DimVec& other) { assign(other.span()); }
  DimVec(DimVec&& other) noexcept { steal(other); }
  DimVec& operator=(const DimVec& other) {
    if (this != &other) assign(other.span());
    return *this;
  }
  DimVec& operator=(DimVec&& other) noexcept {
    if (this != &other) {
      release();
      steal(other);
    }
    return *this;
  }
  ~DimVec() { release(); }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  bool on_heap() const noexcept { return heap_ != nullptr; }
  std::uint64_t* data() noexcept { return heap_ ? heap_ : inline_; }
  const std::uint64_t* data() const noexcept { return heap_ ? heap_ : inline_; }
  std::uint64_t& operator[](std::size_t i) noexcept { return data()[i]; }
  std::uint64_t operator[](std::size_t i) const noexcept { return data()[i]; }
  std::uint64_t* begin() noexcept { return data(); }
  std::uint64_t* end() noexcept { return data() + size_; }
  const std::uint64_t* begin() const noexcept { return data(); }
  const std::uint64_t* end() const noexcept { return data() + size_; }
  std::span<const std::uint64_t> span() const noexcept { return {data(), size_}; }
  operator std::span<const std::uint64_t>() const noexcept { return span(); }  // NOLINT

  friend bool operator==(const DimVec& a, const DimVec& b) noexcept {
    return a.size_ == b.size_ && std::equal(a.begin(), a.end(), b.begin());
  }

 private:
  void resize_uninit(std::size_t n) {
    release();
    if (n > kInline) heap_ = new std::uint64_t[n];
    size_ = n;
  }
  void assign(std::span<const std::uint64_t> values) {
    resize_uninit(values.size());
    if (!values.empty()) std::memcpy(data(), values.data(), values.size() * sizeof(std::uint64_t));
  }
  void steal(DimVec& other) noexcept {
    size_ = other.size_;
    heap_ = other.heap_;
    if (!heap_) std::memcpy(inline_, other.inline_, sizeof inline_);
    other.heap_ = nullptr;
    other.size_ = 0;
  }
  void release() noexcept {
    delete[] heap_;
    heap_ = nullptr;
    size_ = 0;
  }

  std::uint64_t inline_[kInline] = {};
  std::uint64_t* heap_ = nullptr;
  std::size_t size_ = 0;
};

using Shape = DimVec;
using Strides = DimVec;

// The signed element step a stride entry holds.
inline std::int64_t signed_step(std::uint64_t stride) noexcept { return static_cast<std::int64_t>(stride); }

// Product of the sizes, 1 for no sizes; wraps like plain unsigned arithmetic.
std::uint64_t numel_of(std::span<const std::uint64_t> shape) noexcept;
// Product of the sizes, or fail_precondition when it does not fit in 64 bits.
// A zero anywhere makes the count 0 whatever the other sizes are.
std::uint64_t checked_numel(std::span<const std::uint64_t> shape);
// Row-major strides: the last dimension has stride 1.
Strides default_strides(std::span<const std::uint64_t> shape);

}  // namespace nimbra
