#include "engine/registry_py.h"

namespace engine {

void register_screenshots(py::module_& /*m*/) {}

}  // namespace engine
