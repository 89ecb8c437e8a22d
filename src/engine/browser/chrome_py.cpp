#include "engine/registry_py.h"

namespace engine {

void register_chrome(py::module_& /*m*/) {}

}  // namespace engine
