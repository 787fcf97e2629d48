// A DLL that does what Ovilune does while it is attached: from its own
// DllMain, under the loader lock, it loads the plug-in named by the
// environment variable OVILUNE_ATTACH_PLUGIN and asks for its formats. It
// keeps what it saw, and the calling thread's COM state before and after.
#include <windows.h>
#include <objbase.h>

#include <cstring>

#include "common/susie.h"

static char g_patterns[8192];
static HRESULT g_comBefore, g_comAfter;
static HMODULE g_plugin;

static HRESULT ComState()
{
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    return CoGetApartmentType(&type, &qualifier);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_DETACH && g_plugin)
        FreeLibrary(g_plugin);
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    char path[MAX_PATH];
    if (!GetEnvironmentVariableA("OVILUNE_ATTACH_PLUGIN", path, MAX_PATH))
        return TRUE;
    g_comBefore = ComState();
    g_plugin = LoadLibraryA(path);
    SusieGetPluginInfo getInfo = g_plugin ? reinterpret_cast<SusieGetPluginInfo>(
        reinterpret_cast<void*>(GetProcAddress(g_plugin, "GetPluginInfo"))) : nullptr;
    for (int infono = 2; getInfo && infono < 512; infono += 2) {
        char pattern[1024] = "";
        if (getInfo(infono, pattern, sizeof(pattern)) <= 0)
            break;
        if (strlen(g_patterns) + strlen(pattern) + 2 < sizeof(g_patterns)) {
            strcat(g_patterns, pattern);
            strcat(g_patterns, ";");
        }
    }
    g_comAfter = ComState();
    return TRUE;
}

extern "C" __declspec(dllexport) const char* AttachProbeResult(HRESULT* comBefore, HRESULT* comAfter)
{
    *comBefore = g_comBefore;
    *comAfter = g_comAfter;
    return g_patterns;
}
