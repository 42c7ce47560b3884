// The classes of the nn submodule.
#include "module.hpp"

namespace nimbra::py {

bool init_nn_module(PyObject*) { return true; }

}  // namespace nimbra::py
