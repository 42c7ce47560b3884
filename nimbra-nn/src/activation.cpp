#include "nimbra/nn/activation.hpp"

#include "nimbra/ops.hpp"

namespace nimbra::nn {

Tensor ReLU::forward(const Tensor& x) const { return relu(x); }
Tensor Sigmoid::forward(const Tensor& x) const { return sigmoid(x); }

}  // namespace nimbra::nn
