// OviluneHelper.exe: runs the Susie plug-ins for the library, in a process
// of its own, so that a plug-in that hangs, ends its process or wrecks its
// heap takes only this process down. The library starts it, hands it the
// channel (see common/helper_protocol.h) and ends it; it also ends by itself
// once the library's process has ended.
#include <windows.h>

#include <cstring>
#include <cwchar>

#include "common/helper_protocol.h"
#include "common/owners.h"
#include "pictures/image_file.h"
#include "pictures/picture_form.h"
#include "plugin_host/plugin_calls.h"

static HelperBlock* g_block;
static HMODULE g_modules[kHelperMostPlugins];
static int g_moduleCount;

static int PlaceOf(HMODULE module)
{
    for (int i = 0; i < g_moduleCount; i++)
        if (module && g_modules[i] == module)
            return i;
    return -1;
}

// Kept in the shared block, where the library finds it if this process ends
// or hangs inside the call.
static void NoteCall(HMODULE module, bool entering)
{
    InterlockedExchange(&g_block->running, entering ? PlaceOf(module) : -1);
}

// Never asks the plug-in to stop: the library decides how long it may take.
static int WINAPI CountProgress(int, int, LONG_PTR)
{
    InterlockedIncrement(&g_block->progress);
    return 0;
}

// The next handle of the command line, in hexadecimal after a space; the
// line is read here rather than by shell32, which would be one more library
// for every helper to load.
static bool ParseHandle(const wchar_t** text, HANDLE* handle)
{
    const wchar_t* at = *text;
    if (*at++ != L' ')
        return false;
    ULONG_PTR value = 0;
    int digits = 0;
    for (; *at && *at != L' '; at++, digits++) {
        int digit = *at >= L'0' && *at <= L'9' ? *at - L'0' : *at >= L'a' && *at <= L'f' ? *at - L'a' + 10 : -1;
        if (digit < 0 || digits == static_cast<int>(sizeof(value)) * 2)
            return false;
        value = value << 4 | static_cast<ULONG_PTR>(digit);
    }
    *handle = reinterpret_cast<HANDLE>(value);
    *text = at;
    return digits > 0;
}

// Past the program's name, quoted as the library writes it.
static const wchar_t* Arguments(const wchar_t* line)
{
    if (*line != L'"')
        return nullptr;
    const wchar_t* end = wcschr(line + 1, L'"');
    return end ? end + 1 : nullptr;
}

// Every picture of this process is made in a section of its own, which the
// library duplicates and copies from: nothing is copied here.
static HANDLE MakeSection(unsigned long long bytes)
{
    return CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(bytes >> 32),
                              static_cast<DWORD>(bytes), nullptr);
}

static HANDLE SectionOf(HBITMAP picture)
{
    DIBSECTION dib;
    return picture && GetObjectA(picture, sizeof(dib), &dib) == sizeof(dib) ? dib.dshSection : nullptr;
}

static void DeletePicture(HBITMAP picture)
{
    HANDLE section = SectionOf(picture);
    DeleteObject(picture);
    if (section)
        CloseHandle(section);
}

// One load, answered in the block: the held copy is made in a section the
// library duplicates. It is kept until the next request, which writes over
// it when its picture has the same size (the photos of one camera), as the
// library itself does with the picture it replaces; by then the library has
// taken its copy.
static void Serve(LoaderList loaders, HBITMAP* last)
{
    HelperRequest request = g_block->request;
    request.path[kHelperPathSize - 1] = '\0';
    for (LoaderEntry* entry = loaders ? loaders->next : nullptr; entry; entry = entry->next) {
        int place = PlaceOf(entry->module);
        if (place >= 0 && (request.skip >> place & 1) && !entry->faulted)
            DisablePlugin(loaders, entry->module, 1);
    }
    HeldRule rule = {request.mode, request.clientWidth, request.clientHeight, request.background};
    LoadReport report;
    DisplaySize whole = {0, 0};
    // A read-ahead's bound holds here too, checked before anything is decoded.
    OffThreadLoad bound = {loaders ? loaders->next : nullptr, request.mostBytes, false};
    HBITMAP spare = *last;
    HBITMAP picture = LoadImageFileHere(request.path, loaders, spare, request.mode ? &rule : nullptr, &whole,
                                        request.mostBytes ? &bound : nullptr, &report);
    if (spare && spare != picture)
        DeletePicture(spare);
    *last = picture;
    HelperReply reply = {};
    reply.failure = report.failure;
    reply.plugin = PlaceOf(report.plugin);
    reply.code = report.code;
    DIBSECTION dib;
    if (picture && GetObjectA(picture, sizeof(dib), &dib) == sizeof(dib) && dib.dsBm.bmBits && dib.dshSection) {
        reply.wholeWidth = whole.width;
        reply.wholeHeight = whole.height;
        reply.width = dib.dsBm.bmWidth;
        reply.height = dib.dsBm.bmHeight < 0 ? -dib.dsBm.bmHeight : dib.dsBm.bmHeight;
        reply.bitCount = dib.dsBm.bmBitsPixel;
        reply.section = reinterpret_cast<ULONG_PTR>(dib.dshSection);
        GdiFlush();
    } else if (picture) {
        reply.failure = kLoadNoMemory;
    }
    g_block->reply = reply;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    const wchar_t* arguments = Arguments(GetCommandLineW());
    HANDLE handles[4] = {};
    bool parsed = arguments != nullptr;
    for (int i = 0; parsed && i < 4; i++)
        parsed = ParseHandle(&arguments, &handles[i]);
    if (!parsed || *arguments)
        return 2;
    HANDLE blockSection = handles[0], request = handles[1], reply = handles[2], host = handles[3];
    g_block = static_cast<HelperBlock*>(MapViewOfFile(blockSection, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(HelperBlock)));
    if (!g_block || g_block->magic != kHelperMagic || g_block->version != kHelperVersion
        || g_block->pluginCount < 0 || g_block->pluginCount > kHelperMostPlugins)
        return 2;
    g_block->plugins[kHelperMostPlugins - 1][kHelperPathSize - 1] = '\0';
    LoaderList loaders = LoadersFromFiles(g_block->plugins, g_block->pluginCount);
    for (int i = 0; i < g_block->pluginCount; i++) {
        g_block->plugins[i][kHelperPathSize - 1] = '\0';
        g_modules[i] = GetModuleHandleA(g_block->plugins[i]);
    }
    g_moduleCount = g_block->pluginCount;
    SetPluginCallObserver(NoteCall);
    SetPluginProgress(CountProgress);
    SetPictureSectionMaker(MakeSection);
    SetEvent(reply);  // ready
    HBITMAP last = nullptr;
    HANDLE waits[2] = {request, host};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
        Serve(loaders, &last);
        SetEvent(reply);
    }
    // The library's process has ended, or its handle failed: nothing is
    // left to serve. The plug-ins go with the process.
    ExitProcess(0);
}
