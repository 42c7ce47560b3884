// The fully connected layer: y = x · weightᵀ + bias.
#pragma once

#include <cstdint>
#include <optional>

#include "nimbra/error.hpp"
#include "nimbra/random.hpp"
#include "nimbra/tensor.hpp"

namespace nimbra::nn {

// The 2-D transpose; InvalidOperation for any other rank.
Result<Tensor> t(const Tensor& x);

class Linear {
 public:
  // weight [out, in] then bias [out], drawn in that order from `gen`.
  // in_features of 0, or sizes whose element count does not fit, are
  // precondition faults; nothing is drawn then.
  static Linear create(std::uint64_t in_features, std::uint64_t out_features, random::Generator& gen);
  // The same from the calling thread's generator.
  static Linear create(std::uint64_t in_features, std::uint64_t out_features);
  // A layer over given parameters, shared, not copied: weight [out, in] with
  // in at least 1, and bias [out]. InvalidShape names the expected and the
  // given shapes otherwise.
  static Result<Linear> from_parameters(Tensor weight, Tensor bias);

  // x is [..., in_features] with at least 2 dimensions; the result is
  // [..., out_features]. Any other input is a precondition fault.
  Tensor forward(const Tensor& x) const;

  const Tensor& weight() const noexcept { return weight_; }
  // weightᵀ [in_features, out_features], row-major: what forward multiplies
  // by, so a product on a few rows reads it row after row.
  const Tensor& weight_t() const noexcept { return weight_t_; }
  const std::optional<Tensor>& bias() const noexcept { return bias_; }
  std::uint64_t in_features() const noexcept { return in_features_; }
  std::uint64_t out_features() const noexcept { return out_features_; }

 private:
  Linear(Tensor weight, std::optional<Tensor> bias, std::uint64_t in, std::uint64_t out);

  Tensor weight_;
  Tensor weight_t_;
  std::optional<Tensor> bias_;
  std::uint64_t in_features_;
  std::uint64_t out_features_;
};

}  // namespace nimbra::nn
