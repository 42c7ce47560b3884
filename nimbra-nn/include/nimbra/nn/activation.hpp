// Stateless activation layers.
#pragma once

#include "nimbra/tensor.hpp"

namespace nimbra::nn {

struct ReLU {
  Tensor forward(const Tensor& x) const;
};

struct Sigmoid {
  Tensor forward(const Tensor& x) const;
};

}  // namespace nimbra::nn
