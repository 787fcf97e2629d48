// Helpers shared by the white-box tests.
#pragma once

#include <windows.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "hostkit.h"
#include "pictures/image_file.h"
#include "plugin_host/plugin_calls.h"
#include "plugin_host/loader_registry.h"
#include "surface/module_state.h"

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

// Folders' lists joined in the order given, so the order does not depend on
// how a directory happens to list its files.
// Given a list, they are joined after it.
inline LoaderList Joined(std::initializer_list<std::string> folders, LoaderList list = nullptr)
{
    LoaderEntry** tail = &list;
    while (*tail)
        tail = &(*tail)->next;
    for (const std::string& folder : folders) {
        LoaderList part = LoadersFrom(folder);
        if (list) {  // one bitmap entry is enough
            *tail = part->next;
            part->next = nullptr;
            FreeLoaderList(part);
        } else {
            *tail = part;
        }
        while (*tail)
            tail = &(*tail)->next;
    }
    return list;
}

// Holds the loader lock, as a host painting from inside some DLL's attach
// does, for as long as it lives.
struct LoaderLockHeld {
    typedef LONG(WINAPI* Lock)(ULONG flags, ULONG* state, ULONG_PTR* cookie);
    typedef LONG(WINAPI* Unlock)(ULONG flags, ULONG_PTR cookie);
    LoaderLockHeld() : unlock(nullptr), cookie(0), held(false)
    {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        Lock lock = reinterpret_cast<Lock>(reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrLockLoaderLock")));
        unlock = reinterpret_cast<Unlock>(reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
        held = lock && unlock && lock(0, nullptr, &cookie) == 0;
    }
    ~LoaderLockHeld()
    {
        if (held)
            unlock(0, cookie);
    }
    LoaderLockHeld(const LoaderLockHeld&) = delete;
    LoaderLockHeld& operator=(const LoaderLockHeld&) = delete;
    Unlock unlock;
    ULONG_PTR cookie;
    bool held;
};

// Makes g_module.loaders the given list for the length of a test.
struct ActiveLoaders {
    explicit ActiveLoaders(LoaderList list) : saved(g_module.loaders) { g_module.loaders = list; }
    ~ActiveLoaders()
    {
        FreeLoaderList(g_module.loaders);
        g_module.loaders = saved;
    }
    LoaderList saved;
};

// Test plug-in variants as the library's loaders for as long as this lives,
// listed in the order given (each from a folder of its own, named anew for
// every scene, so a plug-in that faulted and stays loaded is never found
// again), with the plug-in search settings put back and a scratch folder for
// pictures (named for the scene where no name is given). What it made goes
// with it, events included, after any decode of ours has ended.
struct PluginScene {
    explicit PluginScene(std::initializer_list<const char*> variants, const char* images = nullptr);
    explicit PluginScene(const std::vector<std::string>& variants, const char* images = nullptr);
    ~PluginScene();
    PluginScene(const PluginScene&) = delete;
    PluginScene& operator=(const PluginScene&) = delete;
    // The first entry of the i-th plug-in listed (its formats are
    // consecutive; one that dropped out at attach is not counted), and its
    // counters.
    LoaderEntry* Entry(size_t i) const;
    TestPluginCounters* Counters(size_t i) const;
    // Holds the i-th plug-in's decodes at their start: `entered` is set when
    // one is held, `gate` lets it go (both owned by the scene).
    TestPluginCounters* Gate(size_t i);
    std::string Path(const std::string& file) const { return images.Path(file); }
    HBITMAP Load(const std::string& file) const { return LoadImageFile(Path(file).c_str(), g_module.loaders); }

    DiscoverySettings settings;
    std::list<PluginFolder> folders;
    ScratchDir images;
    ActiveLoaders loaders;
    std::vector<HANDLE> events;
};

// The exit code of a child run of a test program that went as it should.
const int kChildPassed = 0x600D;

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

// The exact area average of width x height 32-bit pixels (rows `stride`
// pixels apart, top row first) at outWidth x outHeight: every output pixel
// the mean of the part it covers, partly covered pixels by their share.
// With a rowStep, only every rowStep-th output row is worked out (the rest
// are zero): a large reduction is checked in a fraction of the time.
inline std::vector<DWORD> AreaAverage(const DWORD* pixels, int width, int height, int stride, int outWidth,
                                      int outHeight, int rowStep = 1)
{
    std::vector<DWORD> out(static_cast<size_t>(outWidth) * outHeight);
    double sx = double(width) / outWidth, sy = double(height) / outHeight;
    for (int y = 0; y < outHeight; y += rowStep)
        for (int x = 0; x < outWidth; x++) {
            double sum[3] = {0, 0, 0};
            double x0 = x * sx, x1 = (x + 1) * sx, y0 = y * sy, y1 = (y + 1) * sy;
            for (int v = int(y0); v < height && v < y1; v++)
                for (int u = int(x0); u < width && u < x1; u++) {
                    double share = (std::fmin(u + 1.0, x1) - std::fmax(double(u), x0))
                        * (std::fmin(v + 1.0, y1) - std::fmax(double(v), y0));
                    DWORD p = pixels[static_cast<size_t>(v) * stride + u];
                    for (int c = 0; c < 3; c++)
                        sum[c] += share * ((p >> (8 * c)) & 0xFF);
                }
            DWORD value = 0;
            for (int c = 0; c < 3; c++)
                value |= DWORD(std::lround(sum[c] / (sx * sy))) << (8 * c);
            out[static_cast<size_t>(y) * outWidth + x] = value;
        }
    return out;
}

// How many of `count` pixels differ in some channel by more than `levels`.
inline int CountFarPixels(const DWORD* a, const DWORD* b, int count, int levels)
{
    int distant = 0;
    for (int i = 0; i < count; i++)
        for (int c = 0; c < 24; c += 8)
            if (std::abs(int((a[i] >> c) & 0xFF) - int((b[i] >> c) & 0xFF)) > levels) {
                distant++;
                break;
            }
    return distant;
}
