// add, sub, mul with right-aligned broadcasting, computed on the worker pool.
//
// Equal shapes: out[i] = a[i] op b[i]. Otherwise each output position maps to
// one position of each operand through broadcast strides (0 where an operand
// is stretched or lacks the dimension). Both paths apply the same single f32
// operation per element, so they give the same bits; the broadcast path only
// avoids per-element index arithmetic by walking whole output rows.
#include <algorithm>

#include "nimbra/ops.hpp"
#include "nimbra/runtime/pool.hpp"
#include "ops/elementwise_kernels.hpp"

namespace nimbra {

using kernels::BinaryOp;

Result<Shape> broadcast_shape(std::span<const std::uint64_t> a, std::span<const std::uint64_t> b) {
  const std::size_t ra = a.size(), rb = b.size(), r = std::max(ra, rb);
  Shape out = Shape::zeros(r);
  for (std::size_t i = 0; i < r; ++i) {
    const std::uint64_t da = i < ra ? a[ra - 1 - i] : 1;
    const std::uint64_t db = i < rb ? b[rb - 1 - i] : 1;
    std::uint64_t d;
    if (da == db || db == 1)
      d = da;
    else if (da == 1)
      d = db;
    else
      return err::BroadcastError{Sizes(a.begin(), a.end()), Sizes(b.begin(), b.end())};
    out[r - 1 - i] = d;
  }
  return out;
}

Strides broadcast_strides(std::span<const std::uint64_t> operand, std::span<const std::uint64_t> out) {
  const std::size_t rs = operand.size(), r = out.size();
  Strides steps = Strides::zeros(r);
  std::uint64_t p = 1;
  for (std::size_t j = 0; j < rs; ++j) {
    const std::size_t d = r - 1 - j;
    const std::uint64_t e = operand[rs - 1 - j];
    if (e == out[d]) {
      steps[d] = p;
      p *= e;
    }
  }
  return steps;
}

namespace {

// The output geometry with adjacent dimensions merged wherever both operands
// step through them as one (so [N, 2] + [2] walks long rows where it can).
struct Walk {
  DimVec size, sa, sb;
};

Walk coalesce(const Shape& out, const Strides& sa, const Strides& sb) {
  DimVec size = DimVec::zeros(out.size() + 1), a = size, b = size;
  std::size_t k = 0;
  // Dimensions of size 1 never move an index; drop them.
  for (std::size_t d = 0; d < out.size(); ++d) {
    if (out[d] == 1) continue;
    if (k > 0 && sa[d] * out[d] == a[k - 1] && sb[d] * out[d] == b[k - 1]) {
      size[k - 1] *= out[d];
      a[k - 1] = sa[d];
      b[k - 1] = sb[d];
      continue;
    }
    size[k] = out[d];
    a[k] = sa[d];
    b[k] = sb[d];
    ++k;
  }
  if (k == 0) size[k++] = 1;  // a single element
  auto first = [k](const DimVec& v) { return DimVec(std::span<const std::uint64_t>(v.data(), k)); };
  return Walk{first(size), first(a), first(b)};
}

// Writes out[lo .. hi) of the broadcast result, one output row segment per
// call of `loop` (binary's loop for the walk's innermost steps).
void broadcast_range(kernels::BinaryLoopFn loop, const Walk& w, const float* a, const float* b, float* out,
                     std::uint64_t lo, std::uint64_t hi) {
  if (lo >= hi) return;  // also keeps an empty result (a row width of 0) out of the index arithmetic
  const std::size_t nd = w.size.size();
  const std::uint64_t width = w.size[nd - 1];
  const std::uint64_t step_a = w.sa[nd - 1], step_b = w.sb[nd - 1];
  // Multi-index of lo, and the operand positions of the start of its row.
  DimVec index = DimVec::zeros(nd);
  std::uint64_t q = lo / width;
  std::uint64_t col = lo % width;
  std::uint64_t base_a = 0, base_b = 0;
  for (std::size_t d = nd - 1; d-- > 0;) {
    index[d] = q % w.size[d];
    q /= w.size[d];
    base_a += index[d] * w.sa[d];
    base_b += index[d] * w.sb[d];
  }
  std::uint64_t i = lo;
  while (i < hi) {
    const std::uint64_t len = std::min(width - col, hi - i);
    loop(a + base_a + col * step_a, b + base_b + col * step_b, out + i, len);
    i += len;
    col = 0;
    for (std::size_t d = nd - 1; d-- > 0;) {
      base_a += w.sa[d];
      base_b += w.sb[d];
      if (++index[d] < w.size[d]) break;
      base_a -= w.sa[d] * w.size[d];
      base_b -= w.sb[d] * w.size[d];
      index[d] = 0;
    }
  }
}

Result<Tensor> elementwise(BinaryOp op, const Tensor& a, const Tensor& b) {
  Result<Shape> shape = broadcast_shape(a.shape(), b.shape());
  if (!shape) return shape.error();
  const Shape& out_shape = shape.value();
  // Every call that passes the shape check brings up the pool, even with no
  // elements to compute.
  runtime::start_global_pool();
  const std::uint64_t n = checked_numel(out_shape);
  ElementsView av = a.elements();
  ElementsView bv = b.elements();
  FreshBuffer out(n);
  float* o = out.data();
  const float* pa = av.data();
  const float* pb = bv.data();
  if (a.shape() == b.shape()) {
    const kernels::BinaryLoopFn loop = kernels::binary_loop_of(op, false, false);
    runtime::parallel_collect_ranges(n, [loop, pa, pb, o](std::size_t lo, std::size_t hi) {
      loop(pa + lo, pb + lo, o + lo, hi - lo);
    }, n);
  } else {
    const Walk walk = coalesce(out_shape, broadcast_strides(a.shape(), out_shape),
                               broadcast_strides(b.shape(), out_shape));
    const kernels::BinaryLoopFn loop =
        kernels::binary_loop_of(op, walk.sa[walk.sa.size() - 1] == 0, walk.sb[walk.sb.size() - 1] == 0);
    runtime::parallel_collect_ranges(n, [loop, &walk, pa, pb, o](std::size_t lo, std::size_t hi) {
      broadcast_range(loop, walk, pa, pb, o, lo, hi);
    }, n);
  }
  return Tensor::from_fresh(std::move(out), out_shape);
}

}  // namespace

Result<Tensor> add(const Tensor& a, const Tensor& b) { return elementwise(BinaryOp::Add, a, b); }
Result<Tensor> sub(const Tensor& a, const Tensor& b) { return elementwise(BinaryOp::Sub, a, b); }
Result<Tensor> mul(const Tensor& a, const Tensor& b) { return elementwise(BinaryOp::Mul, a, b); }

}  // namespace nimbra
