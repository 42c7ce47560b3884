#include <algorithm>
#include <string>
#include <utility>

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

}  // namespace nimbra
