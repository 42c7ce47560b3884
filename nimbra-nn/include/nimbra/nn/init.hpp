// Random initialisers for layer parameters, drawn from the calling thread's
// generator.
#pragma once

#include <cstdint>
#include <span>

#include "nimbra/random.hpp"
#include "nimbra/tensor.hpp"

namespace nimbra::nn {

// Uniform values on [low, high) from one 32-bit word each, in f32:
// (u + (-1)) * scale + low with u in [1, 2) carrying the word's top 23 bits,
// and scale shrunk until no draw can reach high.
class UniformSampler {
 public:
  // Precondition: low < high and high - low finite.
  UniformSampler(float low, float high);
  float operator()(std::uint32_t word) const noexcept;
  float scale() const noexcept { return scale_; }

 private:
  float low_;
  float scale_;
};

// Uniform on [-w, w) with w = sqrt(6 / fan_in).
Tensor kaiming_uniform(std::span<const std::uint64_t> shape, std::uint64_t fan_in, random::Generator& gen);
// Uniform on [-c, c) with c = 1 / sqrt(fan_in).
Tensor bias_uniform(std::span<const std::uint64_t> shape, std::uint64_t fan_in, random::Generator& gen);

}  // namespace nimbra::nn
