#include "engine/registry_py.h"

namespace engine {

void register_run(py::module_& /*m*/) {}

}  // namespace engine
