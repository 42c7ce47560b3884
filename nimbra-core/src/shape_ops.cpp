#include <algorithm>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "nimbra/ops.hpp"

namespace nimbra {

Result<Tensor> transpose(const Tensor& x, std::uint64_t dim0, std::uint64_t dim1) {
  const std::uint64_t n = x.ndim();
  if (dim0 >= n || dim1 >= n) return err::DimOutOfBounds{std::max(dim0, dim1), n};
  Shape shape = x.shape();
  Strides strides = x.strides();
  std::swap(shape[dim0], shape[dim1]);
  std::swap(strides[dim0], strides[dim1]);
  return x.view(std::move(shape), std::move(strides));
}

Result<Tensor> reshape(const Tensor& x, std::span<const std::uint64_t> shape) {
  const std::uint64_t wanted = checked_numel(shape);
  const std::uint64_t have = x.numel();
  if (wanted != have) {
    return err::InvalidShape{"Cannot reshape tensor of " + std::to_string(have) + " elements to shape " +
                             render_sizes(shape.data(), shape.size())};
  }
  if (x.ndim() > 0 && !x.is_contiguous()) {
    FreshBuffer values(have);
    x.copy_elements_to(values.data());
    return Tensor::from_fresh(std::move(values), shape);
  }
  return x.view(Shape(shape), default_strides(shape));
}

namespace {

// The first position and the length of a slice of a dimension of `size`,
// clamped as Python clamps slices of a sequence; the extremes of the 64-bit
// range stand for the ends however long the dimension (an empty tensor's may
// be longer than 2^63). 128-bit arithmetic: no bounds, step or size can
// overflow it. `start` means nothing when the length is 0.
struct SliceSpan {
  std::uint64_t start, length;
};

SliceSpan slice_span(const IndexItem& item, std::uint64_t size) {
  using Wide = __int128;
  const Wide n = size, step = item.step;
  auto clamp = [&](Wide v) {
    if (v == std::numeric_limits<std::int64_t>::max()) v = n;
    if (v == std::numeric_limits<std::int64_t>::min()) v = -n - 1;
    if (v < 0) {
      v += n;
      if (v < 0) v = step < 0 ? -1 : 0;
    } else if (v >= n) {
      v = step < 0 ? n - 1 : n;
    }
    return v;
  };
  const Wide start = clamp(item.start), stop = clamp(item.stop);
  Wide length = 0;
  if (step < 0 && stop < start) length = (start - stop - 1) / -step + 1;
  if (step > 0 && start < stop) length = (stop - start - 1) / step + 1;
  return {static_cast<std::uint64_t>(start), static_cast<std::uint64_t>(length)};
}

}  // namespace

std::variant<Tensor, IndexFailure> index(const Tensor& x, std::span<const IndexItem> items) {
  using Kind = IndexItem::Kind;
  const std::size_t nd = x.ndim();
  std::size_t consumed = 0, ellipses = 0;  // source dimensions the items name; ellipses among them
  for (const IndexItem& item : items) {
    ellipses += item.kind == Kind::Ellipsis;
    consumed += item.kind == Kind::Integer || item.kind == Kind::Slice;
  }
  if (ellipses > 1) return IndexFailure{"an index can only have a single ellipsis ('...')"};
  if (consumed > nd) {
    return IndexFailure{"too many indices for tensor: tensor is " + std::to_string(nd) + "-dimensional, but " +
                        std::to_string(consumed) + " were indexed"};
  }
  std::vector<std::uint64_t> shape, strides;
  shape.reserve(nd + items.size());
  strides.reserve(nd + items.size());
  // Positions move in wrapping unsigned arithmetic, which lands on the
  // signed result whenever that result is an element of the storage.
  std::uint64_t offset = x.offset();
  std::size_t d = 0;  // the next source dimension
  auto keep_whole = [&](std::size_t count) {
    for (; count > 0; --count, ++d) {
      shape.push_back(x.shape()[d]);
      strides.push_back(x.strides()[d]);
    }
  };
  for (const IndexItem& item : items) {
    switch (item.kind) {
      case Kind::Ellipsis:
        keep_whole(nd - consumed);
        break;
      case Kind::NewAxis:
        shape.push_back(1);
        strides.push_back(0);
        break;
      case Kind::Integer: {
        const std::uint64_t size = x.shape()[d];
        __int128 i = item.start;
        if (i < 0) i += size;
        if (i < 0 || i >= static_cast<__int128>(size)) {
          return IndexFailure{"index " + std::to_string(item.start) + " is out of bounds for dimension " +
                              std::to_string(d) + " with size " + std::to_string(size)};
        }
        offset += static_cast<std::uint64_t>(i) * x.strides()[d];
        ++d;
        break;
      }
      case Kind::Slice: {
        // An empty slice keeps the dimension's stride, as NumPy's does.
        const SliceSpan span = slice_span(item, x.shape()[d]);
        shape.push_back(span.length);
        strides.push_back(span.length ? x.strides()[d] * static_cast<std::uint64_t>(item.step) : x.strides()[d]);
        if (span.length > 0) offset += span.start * x.strides()[d];
        ++d;
        break;
      }
    }
  }
  keep_whole(nd - d);
  // A view without elements keeps its source's position, which is valid
  // however far its slices ran.
  if (std::find(shape.begin(), shape.end(), 0) != shape.end()) offset = x.offset();
  return x.view(Shape(shape), Strides(strides), offset);
}

}  // namespace nimbra
