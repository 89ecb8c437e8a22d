#include "engine/registry_py.h"

namespace engine {

void register_page_check(py::module_& /*m*/) {}

}  // namespace engine
