#include "surface/module_state.h"

ModuleState g_module = {nullptr, nullptr};
