// Helpers shared by the white-box tests.
#pragma once

#include <windows.h>

#include <cstring>
#include <string>

#include "hostkit.h"
#include "sources/loaders.h"

typedef PluginSearchSettings DiscoverySettings;

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
        FreeLoaderList(g_loaders);
        g_loaders = saved;
    }
    LoaderList saved;
};

#include "resource.h"
#include "chip/chip_state.h"
#include "surface/exports.h"

// The chip's record, locked for a look from the test.
struct StateView {
    explicit StateView(HLOCAL h) : handle(h), state(static_cast<ChipState*>(LocalLock(h))) {}
    ~StateView()
    {
        if (state)
            LocalUnlock(handle);
    }
    ChipState* operator->() const { return state; }
    HLOCAL handle;
    ChipState* state;
};

// Picture files every chip test can use, made once per run: BMP files are
// read by the platform, so these tests need no plug-in.
struct Pictures {
    std::string folder;
    std::string p640x480, p100x50, p400x300, p5x3, p20x10;
};
const Pictures& TestPictures();

// A chip created as the host does, in a window with the given client size.
struct TestChip {
    TestChip(const std::string& text, int clientWidth, int clientHeight,
             const SavedBlock* block = nullptr, COLORREF background = RGB(0, 0, 255), int keep = 1);
    ~TestChip();
    void Reconfigure(const SavedBlock* block, int keep = 1);
    HLOCAL handle;
    HWND window;
    std::string text;
    COLORREF background;
};
