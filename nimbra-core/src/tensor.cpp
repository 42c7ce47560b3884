#include "nimbra/tensor.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "nimbra/fault.hpp"
#include "ops/simd.hpp"

namespace nimbra {

// ---- FreshBuffer -----------------------------------------------------------

FreshBuffer::FreshBuffer(std::uint64_t count, bool zeroed)
    : buffer_(Buffer::allocate(count, zeroed)), count_(count) {}

FreshBuffer::FreshBuffer(FreshBuffer&& other) noexcept
    : buffer_(std::exchange(other.buffer_, nullptr)), count_(std::exchange(other.count_, 0)) {}

FreshBuffer& FreshBuffer::operator=(FreshBuffer&& other) noexcept {
  std::swap(buffer_, other.buffer_);
  std::swap(count_, other.count_);
  return *this;
}

FreshBuffer::~FreshBuffer() {
  if (buffer_) buffer_->release();
}

float* FreshBuffer::data() noexcept { return buffer_ ? buffer_->data() : nullptr; }

// ---- construction ----------------------------------------------------------

Tensor::Tensor(Shape shape, Strides strides, Storage storage, std::uint64_t offset)
    : shape_(std::move(shape)), strides_(std::move(strides)), storage_(std::move(storage)), offset_(offset) {}

Tensor Tensor::from_fresh(FreshBuffer&& values, std::span<const std::uint64_t> shape) {
  NIMBRA_CHECK(values.size() == numel_of(shape), "result length does not match its shape");
  Shape s(shape);
  Strides st = default_strides(shape);
  Buffer* buffer = std::exchange(values.buffer_, nullptr);
  std::uint64_t len = std::exchange(values.count_, 0);
  return Tensor(std::move(s), std::move(st), Storage(buffer, len), 0);
}

Result<Tensor> Tensor::from_slice(std::span<const float> data, std::span<const std::uint64_t> shape) {
  std::uint64_t n = checked_numel(shape);
  if (data.size() != n) {
    return err::InvalidShape{"Data length " + std::to_string(data.size()) + " doesn't match shape " +
                             render_sizes(shape.data(), shape.size()) + " (numel=" + std::to_string(n) + ")"};
  }
  FreshBuffer values(n);
  if (n) std::memcpy(values.data(), data.data(), n * sizeof(float));
  return from_fresh(std::move(values), shape);
}

Tensor Tensor::full(std::span<const std::uint64_t> shape, float value) {
  std::uint64_t n = checked_numel(shape);
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  bool zero = bits == 0;  // +0.0 only: -0.0 has the sign bit set
  FreshBuffer values(n, zero);
  if (!zero) std::fill(values.data(), values.data() + n, value);
  return from_fresh(std::move(values), shape);
}

Tensor Tensor::view(Shape shape, Strides strides, std::uint64_t offset) const {
  Tensor t(std::move(shape), std::move(strides), storage_, offset);
  t.requires_grad_ = requires_grad_;
  return t;
}

// ---- reading ---------------------------------------------------------------

bool Tensor::is_contiguous() const noexcept { return strides_ == default_strides(shape_); }

bool Tensor::is_plain() const noexcept {
  if (offset_ != 0) return false;
  if (shape_.empty()) return true;
  // Row-major strides, compared without building the default strides.
  std::uint64_t acc = 1;
  for (std::size_t i = shape_.size(); i-- > 0;) {
    if (strides_[i] != acc) return false;
    acc *= shape_[i];
  }
  return true;
}

namespace {

// out[r * cols + c] = from[r + c * col_stride]: a transposed copy, in column
// blocks of kTile so the source lines of a block stay cached while its rows
// are written. Within a block, 4 x 4 squares go through registers: four
// loads, a transpose, four stores (the scalar loop, doing one load and store
// per element, also ran at half speed whenever source and output happened to
// sit at addresses that look alike modulo 4 KiB).
void copy_transposed(const float* from, std::ptrdiff_t col_stride, std::ptrdiff_t rows, std::ptrdiff_t cols,
                     float* out) {
  constexpr std::ptrdiff_t kTile = 32;
  for (std::ptrdiff_t c0 = 0; c0 < cols; c0 += kTile) {
    const std::ptrdiff_t c1 = std::min(cols, c0 + kTile);
    const std::ptrdiff_t c4 = c0 + (c1 - c0) / 4 * 4;
    std::ptrdiff_t r = 0;
    for (; r + 4 <= rows; r += 4) {
      for (std::ptrdiff_t c = c0; c < c4; c += 4) {
        simd::transpose_square<simd::sse::Vec>(from + r + c * col_stride, col_stride, out + r * cols + c, cols);
      }
      for (std::ptrdiff_t rr = r; rr < r + 4; ++rr)
        for (std::ptrdiff_t c = c4; c < c1; ++c) out[rr * cols + c] = from[rr + c * col_stride];
    }
    for (; r < rows; ++r)
      for (std::ptrdiff_t c = c0; c < c1; ++c) out[r * cols + c] = from[r + c * col_stride];
  }
}

}  // namespace

void Tensor::gather_strided(float* out) const {
  const std::uint64_t n = numel();
  if (n == 0) return;
  check_reach();
  const float* src = storage_.buffer()->data();
  if (shape_.empty()) {
    out[0] = src[offset_];
    return;
  }

  const std::size_t nd = shape_.size();
  // check_reach has bounded every position, so the copies' signed offsets
  // stay inside the storage.
  auto step = [this](std::size_t d) { return static_cast<std::ptrdiff_t>(signed_step(strides_[d])); };
  auto size = [this](std::size_t d) { return static_cast<std::ptrdiff_t>(shape_[d]); };
  // A transposed pair of trailing dimensions (the next-to-last one running
  // through memory) is copied in square tiles, so both the reads and the
  // writes of a tile stay within a few cache lines per row.
  const std::ptrdiff_t col_stride = step(nd - 1);
  const bool tiled = nd >= 2 && col_stride != 1 && step(nd - 2) == 1;
  const std::size_t walk_dims = tiled ? nd - 2 : nd - 1;  // dimensions the counter walks
  const std::ptrdiff_t rows = tiled ? size(nd - 2) : 1;
  const std::ptrdiff_t cols = size(nd - 1);
  const std::uint64_t slab = static_cast<std::uint64_t>(rows * cols);
  DimVec index = DimVec::zeros(nd);
  // The walk's position wraps as the strides do (a dimension of one element
  // may have any stride); it is an element of the storage whenever it is read.
  std::uint64_t base = offset_;
  for (std::uint64_t done = 0; done < n; done += slab) {
    const float* from = src + base;
    if (tiled) {
      copy_transposed(from, col_stride, rows, cols, out);
    } else if (col_stride == 1) {
      std::memcpy(out, from, static_cast<std::size_t>(cols) * sizeof(float));
    } else {
      for (std::ptrdiff_t j = 0; j < cols; ++j) out[j] = from[j * col_stride];
    }
    out += slab;
    // Advance the walked index, last walked dimension fastest.
    for (std::size_t d = walk_dims; d-- > 0;) {
      base += strides_[d];
      if (++index[d] < shape_[d]) break;
      base -= strides_[d] * shape_[d];
      index[d] = 0;
    }
  }
}

void Tensor::check_reach() const {
  if (numel() == 0) return;
  // The lowest and the highest position an index walk can reach bound every
  // other one; a negative step lowers the first, a positive one raises the
  // second.
  __int128 low = offset_, high = offset_;
  bool wrapped = false;
  for (std::size_t d = 0; d < shape_.size(); ++d) {
    const __int128 reach = static_cast<__int128>(shape_[d] - 1) * signed_step(strides_[d]);
    wrapped |= __builtin_add_overflow(reach < 0 ? low : high, reach, reach < 0 ? &low : &high);
  }
  NIMBRA_CHECK(storage_.buffer() && !wrapped && low >= 0 && high < static_cast<__int128>(storage_.len()),
               "view reaches beyond its storage");
}

void Tensor::copy_elements_to(float* out) const {
  ReadGuard guard(storage_.buffer());
  if (is_plain()) {
    std::uint64_t n = numel();
    NIMBRA_CHECK(n <= storage_.len(), "tensor larger than its storage");
    if (n) std::memcpy(out, storage_.buffer()->data(), n * sizeof(float));
  } else {
    gather_strided(out);
  }
}

ElementsView Tensor::elements() const {
  ElementsView view;
  view.size_ = numel();
  if (is_plain()) {
    NIMBRA_CHECK(view.size_ <= storage_.len(), "tensor larger than its storage");
    view.guard_ = ReadGuard(storage_.buffer());
    view.data_ = storage_.buffer() ? storage_.buffer()->data() : nullptr;
  } else {
    view.copy_.reset(new float[view.size_]);
    ReadGuard guard(storage_.buffer());
    gather_strided(view.copy_.get());
    view.data_ = view.copy_.get();
  }
  return view;
}

Tensor Tensor::row_major_copy() const {
  FreshBuffer values(numel());
  copy_elements_to(values.data());
  return from_fresh(std::move(values), shape_);
}

bool Tensor::has_negative_step() const noexcept {
  for (std::uint64_t stride : strides_)
    if (signed_step(stride) < 0) return true;
  return false;
}

std::vector<float> Tensor::data_f32() const {
  std::vector<float> out(numel());
  copy_elements_to(out.data());
  return out;
}

}  // namespace nimbra
