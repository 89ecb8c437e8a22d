#include "engine/registry_py.h"

namespace engine {

void register_protocol_check(py::module_& /*m*/) {}

}  // namespace engine
