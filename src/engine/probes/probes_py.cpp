#include "engine/registry_py.h"

namespace engine {

void register_probes(py::module_& /*m*/) {}

}  // namespace engine
