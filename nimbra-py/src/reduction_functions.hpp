// The module-level functions behind the nimbra package's reductions.
#pragma once

#include "python.hpp"

namespace nimbra::py {

// Adds _reduce to the module; false with the error set on failure.
bool add_reduction_functions(PyObject* module);

}  // namespace nimbra::py
