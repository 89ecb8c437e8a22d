#include "engine/registry_py.h"

namespace engine {

void register_site_checks(py::module_& /*m*/) {}

}  // namespace engine
