// The module-level functions of _nimbra behind the nimbra package's accurate
// activations (python/nimbra/functional.py).
#pragma once

#include "python.hpp"

namespace nimbra::py {

// Adds _sigmoid, _tanh, _gelu, _softmax and _log_softmax to the module.
bool add_activation_functions(PyObject* module);

}  // namespace nimbra::py
