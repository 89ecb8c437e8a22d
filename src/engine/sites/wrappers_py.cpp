#include "engine/registry_py.h"

namespace engine {

void register_wrappers(py::module_& /*m*/) {}

}  // namespace engine
