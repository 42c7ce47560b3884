#include "nimbra/nn/init.hpp"

#include <cmath>
#include <cstring>

#include "nimbra/fault.hpp"

namespace nimbra::nn {

namespace {

float from_bits(std::uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

std::uint32_t to_bits(float f) {
  std::uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

Tensor sample(std::span<const std::uint64_t> shape, float bound, random::Generator& gen) {
  const UniformSampler draw(-bound, bound);
  FreshBuffer values(checked_numel(shape));
  float* out = values.data();
  for (std::uint64_t i = 0; i < values.size(); ++i) out[i] = draw(gen.next_u32());
  return Tensor::from_fresh(std::move(values), shape);
}

}  // namespace

UniformSampler::UniformSampler(float low, float high) : low_(low), scale_(high - low) {
  if (!(low < high) || !std::isfinite(scale_))
    fail_precondition("uniform sampling needs a finite, non-empty range");
  const float below_one = 0.99999988f;  // 1 - 2^-23, the largest u - 1
  // Shrink until the largest draw stays below high.
  while (scale_ * below_one + low_ >= high) scale_ = from_bits(to_bits(scale_) - 1);
}

float UniformSampler::operator()(std::uint32_t word) const noexcept {
  const float u = from_bits((word >> 9) | 0x3F800000u);
  return (u + -1.0f) * scale_ + low_;
}

Tensor kaiming_uniform(std::span<const std::uint64_t> shape, std::uint64_t fan_in, random::Generator& gen) {
  const auto fan = static_cast<float>(fan_in);
  return sample(shape, std::sqrt(6.0f / fan), gen);
}

Tensor bias_uniform(std::span<const std::uint64_t> shape, std::uint64_t fan_in, random::Generator& gen) {
  const auto fan = static_cast<float>(fan_in);
  return sample(shape, 1.0f / std::sqrt(fan), gen);
}

}  // namespace nimbra::nn
