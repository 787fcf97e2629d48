// The library's objects linked into a benchmark, set up as DllMain sets up
// the library: its plug-ins are those built beside the library.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

#include "hostkit.h"
#include "plugin_host/loader_registry.h"
#include "surface/module_state.h"

inline void AttachLibraryWithItsPlugins()
{
    g_module.instance = GetModuleHandleA(nullptr);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::string exe = DxlPath();
    SetEnvironmentVariableA("PATH", (exe.substr(0, exe.find_last_of('\\')) + "\\plugins").c_str());
    g_module.loaders = BuildLoaderList();
}
