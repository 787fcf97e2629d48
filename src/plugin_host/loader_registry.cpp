#include "plugin_host/loader_registry.h"

#include <cstring>

#include "chip/dbcs.h"
#include "chip/path_list.h"
#include "common/owners.h"
#include "common/susie.h"
#include "plugin_host/plugin_guard.h"

static const char kSusieKey[] = "Software\\Kobarune\\Susie\\Plug-in";
static const int kInfoBufferSize = 1024;
// A plug-in that never says "no more formats" must not keep us in DllMain.
static const int kMaxFormatsPerPlugin = 256;

static char* CopyText(const char* text, size_t length)
{
    char* copy = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, length + 1));
    if (!copy)
        return nullptr;
    memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

static void FreeText(char* text)
{
    if (text)
        HeapFree(GetProcessHeap(), 0, text);
}

static LoaderEntry* NewEntry(HMODULE module, const char* description, size_t descriptionLength,
                             const char* pattern, size_t patternLength)
{
    LoaderEntry* entry = static_cast<LoaderEntry*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                                             sizeof(LoaderEntry)));
    if (!entry)
        return nullptr;
    entry->module = module;
    entry->description = CopyText(description, descriptionLength);
    entry->pattern = CopyText(pattern, patternLength);
    if (!entry->description || !entry->pattern) {
        FreeText(entry->description);
        FreeText(entry->pattern);
        HeapFree(GetProcessHeap(), 0, entry);
        return nullptr;
    }
    return entry;
}

// Asks the plug-in for one text. The plug-in may write more than it reports,
// or nothing at all, and need not terminate what it wrote: only the reported
// length counts, cut to the buffer. A fault gives no text and sets *faulted.
static size_t PluginInfo(SusieGetPluginInfo getInfo, int infono, char (&buffer)[kInfoBufferSize + 1],
                         DWORD* faulted)
{
    memset(buffer, 0, sizeof(buffer));
    int length = GuardedCall(0, faulted, getInfo, infono, static_cast<LPSTR>(buffer), kInfoBufferSize);
    if (length <= 0)
        length = 0;
    if (length > kInfoBufferSize)
        length = kInfoBufferSize;
    buffer[length] = '\0';
    return static_cast<size_t>(length);
}

static bool IsImportFilter(SusieGetPluginInfo getInfo, DWORD* faulted)
{
    char buffer[kInfoBufferSize + 1];
    size_t length = PluginInfo(getInfo, 0, buffer, faulted);
    // The version text is two characters of interface version, then the
    // kind: "00IN" is an import filter, "00AM" an archive reader.
    return length >= 4 && lstrcmpiA(buffer + 2, "IN") == 0;
}

// Appends the module's formats after *tail. Returns how many it appended; a
// fault stops the listing.
static int AppendFormats(HMODULE module, SusieGetPluginInfo getInfo, LoaderEntry** tail, DWORD* faulted)
{
    char pattern[kInfoBufferSize + 1];
    char description[kInfoBufferSize + 1];
    int added = 0;
    for (int infono = 2; added < kMaxFormatsPerPlugin; infono += 2) {
        size_t patternLength = PluginInfo(getInfo, infono, pattern, faulted);
        if (patternLength == 0 || *faulted)
            break;
        // A pattern without a description gets an empty one.
        size_t descriptionLength = PluginInfo(getInfo, infono + 1, description, faulted);
        if (*faulted)
            break;
        LoaderEntry* entry = NewEntry(module, description, descriptionLength, pattern, patternLength);
        if (!entry)
            break;
        (*tail)->next = entry;
        *tail = entry;
        added++;
    }
    return added;
}

static void FreeEntries(LoaderEntry* entry)
{
    while (entry) {
        LoaderEntry* next = entry->next;
        FreeText(entry->description);
        FreeText(entry->pattern);
        HeapFree(GetProcessHeap(), 0, entry);
        entry = next;
    }
}

static void LoadPlugin(const char* fullPath, LoaderEntry** tail)
{
    HMODULE module = LoadLibraryA(fullPath);
    if (!module)
        return;
    SusieGetPluginInfo getInfo =
        reinterpret_cast<SusieGetPluginInfo>(reinterpret_cast<void*>(GetProcAddress(module, "GetPluginInfo")));
    LoaderEntry* before = *tail;
    DWORD faulted = 0;
    int added = getInfo && IsImportFilter(getInfo, &faulted) ? AppendFormats(module, getInfo, tail, &faulted) : 0;
    if (faulted) {
        // Not listed, and not unloaded either: unloading code that has just
        // faulted is not safe. The module stays until the process ends.
        FreeEntries(before->next);
        before->next = nullptr;
        *tail = before;
        return;
    }
    if (added == 0) {
        FreeLibrary(module);
        return;
    }
    // The module belongs to its entries from here on. A plug-in says by the
    // mere export that its decoding may run on any thread, several calls
    // at once: nothing of it is run to ask.
    bool anyThread = GetProcAddress(module, kAnyThreadExportName) != nullptr;
    for (LoaderEntry* entry = before->next; entry; entry = entry->next)
        entry->anyThread = anyThread;
}

// Joins folder + "\" + name into out; false when it would not fit.
static bool JoinPath(const char* folder, const char* name, char (&out)[kPathBufferSize])
{
    size_t folderLength = strlen(folder);
    size_t nameLength = strlen(name);
    if (folderLength + 1 + nameLength >= kPathBufferSize)
        return false;
    memcpy(out, folder, folderLength);
    out[folderLength] = '\\';
    memcpy(out + folderLength + 1, name, nameLength + 1);
    return true;
}

// Loads every plug-in of the folder into the list. Returns whether the
// search found any *.spi file at all (usable or not).
static bool LoadFolder(const char* folder, LoaderEntry** tail)
{
    char pattern[kPathBufferSize];
    if (!JoinPath(folder, "*.spi", pattern))
        return false;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    do {
        // An empty folder (a PATH piece of just "\") searched the current
        // drive's root: load from there too, not through the DLL search
        // order, which could find another file of the same name.
        char fullPath[kPathBufferSize];
        if (JoinPath(folder, found.cFileName, fullPath))
            LoadPlugin(fullPath, tail);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return true;
}

// The registry's plug-in folder, or empty. The value is cut where the
// registry says it ends: one stored without its zero must not pick up what
// the buffer held after it. A value too long for the buffer, or a folder too
// long to search, counts as absent.
static void ReadRegistryFolder(char (&folder)[kPathBufferSize])
{
    folder[0] = '\0';
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSusieKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    DWORD size = kPathBufferSize - 1;
    if (RegQueryValueExA(key, "Path", nullptr, nullptr, reinterpret_cast<BYTE*>(folder), &size) == ERROR_SUCCESS
        && size < kPathBufferSize)
        folder[size] = '\0';
    else
        folder[0] = '\0';
    RegCloseKey(key);
    char pattern[kPathBufferSize];
    if (!JoinPath(folder, "*.spi", pattern))
        folder[0] = '\0';
}

// PATH in the ANSI code page into *path (empty where there is none). Read
// wide and converted here: Wine's GetEnvironmentVariableA cuts a double-byte
// value short.
static bool ReadPathVariable(HeapArray<char>* path)
{
    DWORD wideSize = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    HeapArray<wchar_t> wide;
    if (wideSize == 0 || !wide.Allocate(wideSize, false))
        return false;
    DWORD wideLength = GetEnvironmentVariableW(L"PATH", wide.items, wideSize);
    if (wideLength == 0 || wideLength >= wideSize)
        return false;
    int size = WideCharToMultiByte(CP_ACP, 0, wide.items, -1, nullptr, 0, nullptr, nullptr);
    return size > 0 && path->Allocate(size, false)
        && WideCharToMultiByte(CP_ACP, 0, wide.items, -1, path->items, size, nullptr, nullptr) == size;
}

// Tries the pieces of PATH in order and stops at the first folder whose
// search finds any plug-in file.
static void LoadFirstPathFolder(LoaderEntry** tail)
{
    HeapArray<char> path;
    if (!ReadPathVariable(&path))
        return;
    const char* piece = path.items;
    while (*piece) {
        const char* end = strchr(piece, ';');
        size_t pieceLength = end ? static_cast<size_t>(end - piece) : strlen(piece);
        if (pieceLength > 0 && pieceLength < kPathBufferSize) {
            char folder[kPathBufferSize];
            memcpy(folder, piece, pieceLength);
            folder[pieceLength] = '\0';
            if (EndsWithSeparator(folder, pieceLength))
                folder[pieceLength - 1] = '\0';
            if (LoadFolder(folder, tail))
                break;
        }
        if (!end)
            break;
        piece = end + 1;
    }
}

LoaderList BuildLoaderList()
{
    static const char kBitmap[] = "Bitmap";
    static const char kBitmapPattern[] = "*.bmp";
    LoaderEntry* head = NewEntry(nullptr, kBitmap, sizeof(kBitmap) - 1,
                                 kBitmapPattern, sizeof(kBitmapPattern) - 1);
    if (!head)
        return nullptr;
    LoaderEntry* tail = head;

    char folder[kPathBufferSize];
    ReadRegistryFolder(folder);
    if (folder[0])
        LoadFolder(folder, &tail);
    else
        LoadFirstPathFolder(&tail);
    return head;
}

LoaderList LoadersFromFiles(const char (*paths)[260], int count)
{
    static const char kBitmap[] = "Bitmap";
    static const char kBitmapPattern[] = "*.bmp";
    LoaderEntry* head = NewEntry(nullptr, kBitmap, sizeof(kBitmap) - 1, kBitmapPattern, sizeof(kBitmapPattern) - 1);
    LoaderEntry* tail = head;
    for (int i = 0; head && i < count; i++)
        if (strnlen(paths[i], kPathBufferSize) < kPathBufferSize)
            LoadPlugin(paths[i], &tail);
    return head;
}

void FreeLoaderList(LoaderList head)
{
    HMODULE lastUnloaded = nullptr;
    for (LoaderEntry* entry = head; entry; entry = entry->next) {
        if (entry->module && !entry->faulted && entry->module != lastUnloaded) {
            FreeLibrary(entry->module);
            lastUnloaded = entry->module;
        }
    }
    FreeEntries(head);
}

void DisablePlugin(LoaderList loaders, HMODULE module, DWORD code)
{
    LONG stored = code ? static_cast<LONG>(code) : 1;
    for (LoaderEntry* entry = loaders; entry; entry = entry->next) {
        if (entry->module == module)
            InterlockedExchange(&entry->faulted, stored);
    }
}
