#include "engine/registry_py.h"

namespace engine {

void register_email(py::module_& /*m*/) {}

}  // namespace engine
