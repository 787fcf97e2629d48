#include <windows.h>

#include "chip/chip_random.h"
#include "common/reduce.h"
#include "pictures/helper_load.h"
#include "showing/read_ahead.h"
#include "plugin_host/loader_registry.h"
#include "surface/module_state.h"

// Attach finds the plug-ins; detach gives them back. At process exit
// (reserved non-null) other modules may already be gone, and unloading the
// plug-ins then could run their code after their dependencies: the process
// is ending and takes everything with it, the plug-in helper included (its
// job ends it with our last handle, and it watches this process).
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        g_module.instance = instance;
        g_module.loaders = BuildLoaderList();
        break;
    case DLL_PROCESS_DETACH:
        if (reserved)
            break;
        ReleasePluginHelper();
        FreeLoaderList(g_module.loaders);
        g_module.loaders = nullptr;
        ReleaseChipRandom();
        ReleaseReductionPool();
        ReleaseReadAheadPool();
        break;
    }
    return TRUE;
}
