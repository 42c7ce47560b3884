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

Tensor Tensor::view(Shape shape, Strides strides) const {
  Tensor t(std::move(shape), std::move(strides), storage_, offset_);
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
void copy_transposed(const float* from, std::uint64_t col_stride, std::uint64_t rows, std::uint64_t cols,
                     float* out) {
  constexpr std::uint64_t kTile = 32;
  for (std::uint64_t c0 = 0; c0 < cols; c0 += kTile) {
    const std::uint64_t c1 = std::min(cols, c0 + kTile);
    const std::uint64_t c4 = c0 + (c1 - c0) / 4 * 4;
    std::uint64_t r = 0;
    for (; r + 4 <= rows; r += 4) {
      for (std::uint64_t c = c0; c < c4; c += 4) {
        simd::transpose_square<simd::sse::Vec>(from + r + c * col_stride, static_cast<std::ptrdiff_t>(col_stride),
                                               out + r * cols + c, static_cast<std::ptrdiff_t>(cols));
      }
      for (std::uint64_t rr = r; rr < r + 4; ++rr)
        for (std::uint64_t c = c4; c < c1; ++c) out[rr * cols + c] = from[rr + c * col_stride];
    }
    for (; r < rows; ++r)
      for (std::uint64_t c = c0; c < c1; ++c) out[r * cols + c] = from[r + c * col_stride];
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
  // A transposed pair of trailing dimensions (the next-to-last one running
  // through memory) is copied in square tiles, so both the reads and the
  // writes of a tile stay within a few cache lines per row.
  const bool tiled = nd >= 2 && strides_[nd - 1] != 1 && strides_[nd - 2] == 1;
  const std::size_t walk_dims = tiled ? nd - 2 : nd - 1;  // dimensions the counter walks
  const std::uint64_t rows = tiled ? shape_[nd - 2] : 1;
  const std::uint64_t cols = shape_[nd - 1];
  const std::uint64_t col_stride = strides_[nd - 1];
  const std::uint64_t slab = rows * cols;
  DimVec index = DimVec::zeros(nd);
  std::uint64_t base = offset_;
  for (std::uint64_t done = 0; done < n; done += slab) {
    const float* from = src + base;
    if (tiled) {
      copy_transposed(from, col_stride, rows, cols, out);
    } else if (col_stride == 1) {
      std::memcpy(out, from, cols * sizeof(float));
    } else {
      for (std::uint64_t j = 0; j < cols; ++j) out[j] = from[j * col_stride];
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
  // The last position an index walk can reach bounds every other one.
  std::uint64_t last = offset_;
  bool wrapped = false;
  for (std::size_t d = 0; d < shape_.size(); ++d) {
    std::uint64_t reach;
    wrapped |= __builtin_mul_overflow(shape_[d] - 1, strides_[d], &reach);
    wrapped |= __builtin_add_overflow(last, reach, &last);
  }
  NIMBRA_CHECK(storage_.buffer() && !wrapped && last < storage_.len(), "view reaches beyond its storage");
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

std::vector<float> Tensor::data_f32() const {
  std::vector<float> out(numel());
  copy_elements_to(out.data());
  return out;
}

}  // namespace nimbra
