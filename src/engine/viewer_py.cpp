#include "engine/registry_py.h"

namespace engine {

void register_viewer(py::module_& /*m*/) {}

}  // namespace engine
