// Helpers shared by the white-box tests.
#pragma once

#include <windows.h>

#include <cstring>
#include <string>

#include "hostkit.h"
#include "sources/loaders.h"

// Puts PATH and the Susie registry value back when a test ends.
struct DiscoverySettings {
    DiscoverySettings()
    {
        DWORD size = GetEnvironmentVariableA("PATH", nullptr, 0);
        savedPath.resize(size);
        if (size)
            GetEnvironmentVariableA("PATH", &savedPath[0], size);
        SetSusieFolder(nullptr);
    }
    ~DiscoverySettings()
    {
        SetEnvironmentVariableA("PATH", savedPath.empty() ? nullptr : savedPath.c_str());
        SetSusieFolder(nullptr);
    }
    std::string savedPath;
};

inline int CountEntries(LoaderList list)
{
    int count = 0;
    for (LoaderEntry* e = list; e; e = e->next)
        count++;
    return count;
}

inline std::string ModulePath(HMODULE module)
{
    char path[MAX_PATH] = "";
    DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
    return std::string(path, length);
}

// Builds a loader list from one folder of plug-ins given through the registry.
inline LoaderList LoadersFrom(const std::string& folder)
{
    SetSusieFolder(folder.c_str());
    LoaderList list = BuildLoaderList();
    SetSusieFolder(nullptr);
    return list;
}

// Makes g_loaders the given list for the length of a test.
struct ActiveLoaders {
    explicit ActiveLoaders(LoaderList list) : saved(g_loaders) { g_loaders = list; }
    ~ActiveLoaders()
    {
        FreeLoaderList(g_loaders, true);
        g_loaders = saved;
    }
    LoaderList saved;
};
