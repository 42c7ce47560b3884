#include "nimbra/nn/linear.hpp"

#include <string>

#include "nimbra/fault.hpp"
#include "nimbra/nn/init.hpp"
#include "nimbra/ops.hpp"

namespace nimbra::nn {

Result<Tensor> t(const Tensor& x) {
  if (x.ndim() != 2) return err::InvalidOperation{"t() only works on 2D tensors"};
  return transpose(x, 0, 1);
}

namespace {

// t(w) in row-major order: the view itself when it already is (a weight given
// as the transpose of a row-major matrix), else a copy, made once per layer.
Tensor row_major_transpose(const Tensor& w) {
  Result<Tensor> wt = t(w);
  NIMBRA_CHECK(wt.ok(), "a layer's weight is always 2-D");
  if (wt.value().is_contiguous()) return std::move(wt).value();
  return wt.value().row_major_copy();
}

}  // namespace

Linear::Linear(Tensor weight, std::optional<Tensor> bias, std::uint64_t in, std::uint64_t out)
    : weight_(std::move(weight)),
      weight_t_(row_major_transpose(weight_)),
      bias_(std::move(bias)),
      in_features_(in),
      out_features_(out) {}

Linear Linear::create(std::uint64_t in_features, std::uint64_t out_features, random::Generator& gen) {
  if (in_features == 0) fail_precondition("Linear: in_features must be at least 1, got 0");
  const std::uint64_t weight_shape[2] = {out_features, in_features};
  const std::uint64_t bias_shape[1] = {out_features};
  checked_numel(weight_shape);  // refuse sizes that do not fit before drawing anything
  Tensor weight = kaiming_uniform(weight_shape, in_features, gen);
  Tensor bias = bias_uniform(bias_shape, in_features, gen);
  return Linear(std::move(weight), std::move(bias), in_features, out_features);
}

Linear Linear::create(std::uint64_t in_features, std::uint64_t out_features) {
  return create(in_features, out_features, random::thread_generator());
}

Result<Linear> Linear::from_parameters(Tensor weight, Tensor bias) {
  const Shape& w = weight.shape();
  if (w.size() != 2 || w[1] == 0) {
    return err::InvalidShape{"a Linear weight has shape [out_features, in_features] with in_features at least 1, "
                             "got " + render_sizes(w.data(), w.size())};
  }
  const std::uint64_t in_features = w[1], out_features = w[0];
  if (bias.ndim() != 1 || bias.shape()[0] != out_features) {
    return err::InvalidShape{"a Linear bias for weight " + render_sizes(w.data(), w.size()) + " has shape " +
                             render_sizes(&out_features, 1) + ", got " +
                             render_sizes(bias.shape().data(), bias.ndim())};
  }
  return Linear(std::move(weight), std::move(bias), in_features, out_features);
}

// add(matmul(x, t(weight)), bias): the product on the calling thread, the
// bias on the pool.
Tensor Linear::forward(const Tensor& x) const {
  Result<Tensor> y = matmul(x, weight_t_);
  if (!y) {
    fail_precondition("Linear forward failed: expected an input with at least 2 dimensions and last dimension " +
                      std::to_string(in_features_) + ", got shape " +
                      render_sizes(x.shape().data(), x.ndim()) + " (" + y.error().display() + ")");
  }
  if (!bias_) return std::move(y).value();
  Result<Tensor> out = add(y.value(), *bias_);
  NIMBRA_CHECK(out.ok(), "the bias row broadcasts against every result");
  return std::move(out).value();
}

}  // namespace nimbra::nn
