// matmul: validation, batch broadcasting, and one kernel call per output
// matrix. Operands are read in place through their strides (a transposed
// weight is packed straight from the view), on the calling thread.
//
// a is [..., m, k], b is [..., k, n], result [batch..., m, n].
#include <algorithm>

#include "nimbra/ops.hpp"
#include "ops/matmul_kernel.hpp"

namespace nimbra {

namespace {

Sizes last_two(const Shape& s) { return Sizes(s.end() - 2, s.end()); }

// Storage positions of the first element of every matrix of `x` that output
// matrix t (row-major over `batch`) uses, with size-1 batch dimensions
// repeated and missing leading ones implied.
std::vector<std::uint64_t> matrix_offsets(const Tensor& x, const Shape& batch, std::uint64_t count) {
  const std::size_t rb = batch.size();
  const std::size_t rx = x.ndim() - 2;
  std::vector<std::uint64_t> offsets(count);
  DimVec index = DimVec::zeros(rb);
  for (std::uint64_t t = 0; t < count; ++t) {
    std::uint64_t off = x.offset();
    for (std::size_t j = 0; j < rx; ++j) {
      const std::size_t d = rb - rx + j;
      if (x.shape()[j] != 1) off += index[d] * x.strides()[j];
    }
    offsets[t] = off;
    for (std::size_t d = rb; d-- > 0;) {
      if (++index[d] < batch[d]) break;
      index[d] = 0;
    }
  }
  return offsets;
}

}  // namespace

Result<Tensor> matmul(const Tensor& a, const Tensor& b) {
  if (a.ndim() < 2 || b.ndim() < 2) return err::InvalidOperation{"matmul requires at least 2D tensors"};
  // The kernels walk their operands forwards only; a view sliced with a
  // negative step is read from a row-major copy.
  if (a.has_negative_step() || b.has_negative_step()) {
    return matmul(a.has_negative_step() ? a.row_major_copy() : a, b.has_negative_step() ? b.row_major_copy() : b);
  }
  const Shape& sa = a.shape();
  const Shape& sb = b.shape();
  const std::uint64_t m = sa[sa.size() - 2], k = sa[sa.size() - 1];
  const std::uint64_t kb = sb[sb.size() - 2], n = sb[sb.size() - 1];
  if (k != kb) return err::ShapeMismatch{last_two(sa), last_two(sb)};

  Shape batch;
  const bool batched = a.ndim() > 2 || b.ndim() > 2;
  if (batched) {
    auto ba = std::span<const std::uint64_t>(sa.data(), sa.size() - 2);
    auto bb = std::span<const std::uint64_t>(sb.data(), sb.size() - 2);
    Result<Shape> shape = broadcast_shape(ba, bb);
    if (!shape) return err::BroadcastError{Sizes(ba.begin(), ba.end()), Sizes(bb.begin(), bb.end())};
    batch = std::move(shape).value();
  }
  DimVec out_shape = DimVec::zeros(batch.size() + 2);
  std::copy(batch.begin(), batch.end(), out_shape.begin());
  out_shape[batch.size()] = m;
  out_shape[batch.size() + 1] = n;
  const std::uint64_t total = checked_numel(out_shape);
  const std::uint64_t count = checked_numel(batch);

  FreshBuffer out(total);
  if (total > 0 && k > 0) {
    a.check_reach();
    b.check_reach();
  }
  if (total > 0) {
    ReadGuard guard_a(a.storage().buffer());
    ReadGuard guard_b(b.storage().buffer());
    const float* da = k ? a.storage().buffer()->data() : nullptr;
    const float* db = k ? b.storage().buffer()->data() : nullptr;
    const auto rs_a = static_cast<std::ptrdiff_t>(a.strides()[sa.size() - 2]);
    const auto cs_a = static_cast<std::ptrdiff_t>(a.strides()[sa.size() - 1]);
    const auto rs_b = static_cast<std::ptrdiff_t>(b.strides()[sb.size() - 2]);
    const auto cs_b = static_cast<std::ptrdiff_t>(b.strides()[sb.size() - 1]);
    const std::vector<std::uint64_t> off_a = matrix_offsets(a, batch, count);
    const std::vector<std::uint64_t> off_b = matrix_offsets(b, batch, count);
    for (std::uint64_t t = 0; t < count; ++t) {
      kernels::MatView va{da ? da + off_a[t] : nullptr, rs_a, cs_a};
      kernels::MatView vb{db ? db + off_b[t] : nullptr, rs_b, cs_b};
      kernels::gemm(m, n, k, va, vb, out.data() + t * m * n, n);
    }
  }
  return Tensor::from_fresh(std::move(out), out_shape);
}

}  // namespace nimbra
