// sum and mean: one strictly sequential f32 chain over the row-major
// elements. No pairwise or vector summation: the order is part of the result.
#include "nimbra/ops.hpp"

namespace nimbra {

namespace {

float sequential_sum(const Tensor& x) {
  ElementsView values = x.elements();
  const float* v = values.data();
  const std::uint64_t n = values.size();
  float acc = -0.0f;  // the identity that keeps the sign of an all -0.0 input
  for (std::uint64_t i = 0; i < n; ++i) acc += v[i];
  return acc;
}

Tensor scalar(float value) {
  FreshBuffer out(1);
  out.data()[0] = value;
  return Tensor::from_fresh(std::move(out), {});
}

}  // namespace

Tensor sum(const Tensor& x) { return scalar(sequential_sum(x)); }

Tensor mean(const Tensor& x) {
  const float total = sequential_sum(x);
  return scalar(total / static_cast<float>(x.numel()));
}

}  // namespace nimbra
