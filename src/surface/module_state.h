// The library's own state, one per process: made when the library is
// attached, freed when it is detached, and read only by the exports, which
// hand each part to the code that uses it.
#pragma once

#include <windows.h>

#include "plugin_host/loader_registry.h"

struct ModuleState {
    HINSTANCE instance;  // for our dialog templates
    LoaderList loaders;  // every format we can show
};

extern ModuleState g_module;
