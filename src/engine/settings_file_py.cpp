#include "engine/registry_py.h"

namespace engine {

void register_settings_file(py::module_& /*m*/) {}

}  // namespace engine
