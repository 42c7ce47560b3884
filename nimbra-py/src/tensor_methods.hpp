// Entries of the Tensor class that run tensor operations; spliced into the
// class's tables in member order.
#pragma once

#include "python.hpp"

namespace nimbra::py {
}  // namespace nimbra::py

#define NIMBRA_TENSOR_STATIC_METHODS
#define NIMBRA_TENSOR_METHODS
#define NIMBRA_TENSOR_OPERATOR_SLOTS
