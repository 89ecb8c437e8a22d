#include "engine/registry_py.h"

namespace engine {

void register_channels(py::module_& /*m*/) {}

}  // namespace engine
