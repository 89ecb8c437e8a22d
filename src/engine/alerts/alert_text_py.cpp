#include "engine/registry_py.h"

namespace engine {

void register_alert_text(py::module_& /*m*/) {}

}  // namespace engine
