#include "hostkit.h"

#include <tlhelp32.h>

#include <cstring>

#include "common/files.h"

// --- the library ------------------------------------------------------------

static std::string ExeFolder()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    size_t slash = folder.find_last_of('\\');
    return slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
}

std::string DxlPath()
{
    return ExeFolder() + "\\..\\Ovilune.dxl";
}

std::string TestPluginPath(const char* variant)
{
    return ExeFolder() + "\\testspi\\" + variant + ".spi";
}

bool LoadDxl(Dxl* dxl, std::string* missing)
{
    std::string error;
    bool loaded = LoadDxlApi(dxl, DxlPath(), &error);
    if (missing)
        *missing = error;
    return loaded;
}

void UnloadDxl(Dxl* dxl)
{
    UnloadDxlApi(dxl);
}

// --- records ------------------------------------------------------------------

HGLOBAL GlobalText(const char* text)
{
    size_t size = strlen(text) + 1;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    void* p = GlobalLock(block);
    memcpy(p, text, size);
    GlobalUnlock(block);
    return block;
}

std::string GlobalBlockText(HGLOBAL block)
{
    if (!block)
        return std::string();
    const char* p = static_cast<const char*>(GlobalLock(block));
    std::string text = p ? std::string(p, strnlen(p, GlobalSize(block))) : std::string();
    GlobalUnlock(block);
    return text;
}

// --- windows and painting -------------------------------------------------------

HWND CreateChipWindow(int width, int height)
{
    static ATOM atom;
    if (!atom) {
        WNDCLASSA wc;
        memset(&wc, 0, sizeof(wc));
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "OviluneTestChip";
        wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
        atom = RegisterClassA(&wc);
    }
    RECT rect = {0, 0, width, height};
    AdjustWindowRect(&rect, WS_POPUP, FALSE);
    return CreateWindowA("OviluneTestChip", "chip", WS_POPUP, 0, 0, rect.right - rect.left,
                         rect.bottom - rect.top, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
}

long long CountGdiObjects()
{
    long long count = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (count)
        return count;
    for (ULONG_PTR h = 0x20; h < 0x10000; h++)
        count += GetObjectType(reinterpret_cast<HGDIOBJ>(h)) != 0;
    return count;
}

long long CountKernelHandles()
{
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles) && handles)
        return handles;
    DWORD flags;
    for (ULONG_PTR h = 4; h < 0x10000; h += 4)
        handles += GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags) != FALSE;
    return handles;
}

long long CommittedPrivateBytes()
{
    long long total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const BYTE* at = nullptr; VirtualQuery(at, &region, sizeof(region)) == sizeof(region);
         at = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            total += region.RegionSize;
        if (static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize < at)
            break;
    }
    return total;
}

void FlushEvents()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

bool CreateSurface(Surface* surface, int width, int height)
{
    DestroySurface(surface);
    BITMAPINFO info;
    memset(&info, 0, sizeof(info));
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    surface->dib = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!surface->dib)
        return false;
    surface->dc = CreateCompatibleDC(nullptr);
    surface->previous = SelectObject(surface->dc, surface->dib);
    surface->bits = static_cast<DWORD*>(bits);
    surface->width = width;
    surface->height = height;
    return true;
}

void DestroySurface(Surface* surface)
{
    if (surface->dc) {
        SelectObject(surface->dc, surface->previous);
        DeleteDC(surface->dc);
    }
    if (surface->dib)
        DeleteObject(surface->dib);
    surface->dc = nullptr;
    surface->dib = nullptr;
    surface->previous = nullptr;
    surface->bits = nullptr;
    surface->width = surface->height = 0;
}

Surface::~Surface()
{
    DestroySurface(this);
}

void FillSurface(Surface* surface, COLORREF colour)
{
    GdiFlush();
    DWORD pixel = (GetRValue(colour) << 16) | (GetGValue(colour) << 8) | GetBValue(colour);
    for (int i = 0; i < surface->width * surface->height; i++)
        surface->bits[i] = pixel;
}

COLORREF PixelAt(const Surface& surface, int x, int y)
{
    GdiFlush();
    DWORD p = surface.bits[y * surface.width + x];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
}

int CountOtherPixels(const Surface& surface, const RECT& rect, COLORREF colour)
{
    int count = 0;
    for (int y = rect.top; y < rect.bottom; y++)
        for (int x = rect.left; x < rect.right; x++)
            count += PixelAt(surface, x, y) != colour;
    return count;
}

// --- files ------------------------------------------------------------------------

// Folders are made and removed through the wide functions: Wine's ANSI
// CreateDirectoryA strips a trailing 0x5C byte even when it is the second
// byte of a character, so it cannot make a folder whose name ends in "ソ".
std::string ScratchFolder(const char* name)
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string base = std::string(temp) + "ovilune-tests";
    CreateDirectoryW(WideFromAnsi(base).c_str(), nullptr);
    std::string folder = base + "\\" + name;
    RemoveTree(folder);
    CreateDirectoryW(WideFromAnsi(folder).c_str(), nullptr);
    return folder;
}

static void RemoveTreeW(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTreeW(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

void RemoveTree(const std::string& folder)
{
    RemoveTreeW(WideFromAnsi(folder));
}

bool WriteFileBytes(const std::string& path, const void* bytes, size_t size)
{
    return WriteWholeFile(path, bytes, size);
}

// The file's bytes; empty where it cannot be read whole.
std::string ReadFileBytes(const std::string& path)
{
    std::string bytes;
    if (!ReadWholeFile(path, &bytes, 1ULL << 31))
        bytes.clear();
    return bytes;
}

static COLORREF g_solid;
static COLORREF Solid(int, int)
{
    return g_solid;
}

bool WriteTpic(const std::string& path, int width, int height, PixelFunction pixel, int junk)
{
    std::vector<BYTE> bytes(junk, 'J');
    const char magic[4] = {'T', 'P', 'I', 'C'};
    bytes.insert(bytes.end(), magic, magic + 4);
    bytes.insert(bytes.end(), reinterpret_cast<BYTE*>(&width), reinterpret_cast<BYTE*>(&width) + 4);
    bytes.insert(bytes.end(), reinterpret_cast<BYTE*>(&height), reinterpret_cast<BYTE*>(&height) + 4);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            COLORREF c = pixel(x, y);
            BYTE bgrx[4] = {GetBValue(c), GetGValue(c), GetRValue(c), static_cast<BYTE>(c >> 24)};
            bytes.insert(bytes.end(), bgrx, bgrx + 4);
        }
    }
    return WriteFileBytes(path, bytes.data(), bytes.size());
}

bool WriteSolidTpic(const std::string& path, int width, int height, COLORREF colour)
{
    g_solid = colour;
    return WriteTpic(path, width, height, Solid);
}

bool WriteBmp(const std::string& path, int width, int height, PixelFunction pixel)
{
    int stride = (width * 3 + 3) & ~3;
    BITMAPFILEHEADER file;
    BITMAPINFOHEADER info;
    memset(&file, 0, sizeof(file));
    memset(&info, 0, sizeof(info));
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = file.bfOffBits + stride * height;
    info.biSize = sizeof(info);
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    std::vector<BYTE> bytes(file.bfSize);
    memcpy(bytes.data(), &file, sizeof(file));
    memcpy(bytes.data() + sizeof(file), &info, sizeof(info));
    for (int y = 0; y < height; y++) {
        BYTE* row = bytes.data() + file.bfOffBits + (height - 1 - y) * stride;
        for (int x = 0; x < width; x++) {
            COLORREF c = pixel(x, y);
            row[x * 3] = GetBValue(c);
            row[x * 3 + 1] = GetGValue(c);
            row[x * 3 + 2] = GetRValue(c);
        }
    }
    return WriteFileBytes(path, bytes.data(), bytes.size());
}

bool WriteSolidBmp(const std::string& path, int width, int height, COLORREF colour)
{
    g_solid = colour;
    return WriteBmp(path, width, height, Solid);
}

bool InstallPlugin(const char* variant, const std::string& folder, const char* fileName)
{
    return CopyFileA(TestPluginPath(variant).c_str(), (folder + "\\" + fileName).c_str(), FALSE) != FALSE;
}

PluginFolder::PluginFolder(const std::string& name, std::initializer_list<PluginFile> plugins)
    : dir(name), installed(true)
{
    for (const PluginFile& plugin : plugins) {
        std::string file = plugin.fileName ? plugin.fileName : std::string(plugin.variant) + ".spi";
        installed = InstallPlugin(plugin.variant, dir.folder, file.c_str()) && installed;
    }
}

TestPluginCounters* PluginCounters(HMODULE plugin)
{
    typedef TestPluginCounters* (WINAPI * StateFunction)();
    StateFunction state = reinterpret_cast<StateFunction>(
        reinterpret_cast<void*>(GetProcAddress(plugin, "TestPluginState")));
    return state ? state() : nullptr;
}

void SetSusieFolder(const char* folder)
{
    const char* key = "Software\\Kobarune\\Susie\\Plug-in";
    if (!folder || !*folder) {
        RegDeleteKeyA(HKEY_CURRENT_USER, key);
        return;
    }
    HKEY handle;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr)
        != ERROR_SUCCESS)
        return;
    RegSetValueExA(handle, "Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder),
                   static_cast<DWORD>(strlen(folder) + 1));
    RegCloseKey(handle);
}

PluginSearchSettings::PluginSearchSettings()
{
    DWORD size = GetEnvironmentVariableA("PATH", nullptr, 0);
    savedPath.resize(size);
    if (size)
        GetEnvironmentVariableA("PATH", &savedPath[0], size);
    SetSusieFolder(nullptr);
}

PluginSearchSettings::~PluginSearchSettings()
{
    SetEnvironmentVariableA("PATH", savedPath.empty() ? nullptr : savedPath.c_str());
    SetSusieFolder(nullptr);
    SetEnvironmentVariableA("OVILUNE_PLUGIN_HELPER", nullptr);
    SetEnvironmentVariableA("OVILUNE_HELPER_LIMIT_MS", nullptr);
}

// --- dialogs ------------------------------------------------------------------------

static DialogStep g_step;
static void* g_stepContext;
static UINT_PTR g_timer;

struct FindContext {
    const char* caption;
    HWND found;
};

static BOOL CALLBACK FindDialogProc(HWND window, LPARAM param)
{
    FindContext* context = reinterpret_cast<FindContext*>(param);
    char className[32];
    if (!IsWindowVisible(window) || !GetClassNameA(window, className, sizeof(className))
        || strcmp(className, "#32770") != 0)
        return TRUE;
    if (context->caption && WindowTextA(window) != context->caption)
        return TRUE;
    context->found = window;
    return FALSE;
}

HWND FindThreadDialog(const char* caption)
{
    FindContext context = {caption, nullptr};
    // Enumerates in z-order, topmost first: a message box above its dialog.
    EnumThreadWindows(GetCurrentThreadId(), FindDialogProc, reinterpret_cast<LPARAM>(&context));
    return context.found;
}

static void CALLBACK DriverTimer(HWND, UINT, UINT_PTR, DWORD)
{
    if (!g_step)
        return;
    HWND dialog = FindThreadDialog(nullptr);
    if (g_step(dialog, g_stepContext))
        g_step = nullptr;
}

void ArmDialogDriver(DialogStep step, void* context)
{
    g_step = step;
    g_stepContext = context;
    g_timer = SetTimer(nullptr, 0, 30, DriverTimer);
}

void DisarmDialogDriver()
{
    if (g_timer)
        KillTimer(nullptr, g_timer);
    g_timer = 0;
    g_step = nullptr;
}

std::string WindowTextA(HWND window)
{
    char text[1024];
    int length = GetWindowTextA(window, text, sizeof(text));
    return std::string(text, length > 0 ? length : 0);
}

std::wstring WindowTextW(HWND window)
{
    wchar_t text[1024];
    int length = GetWindowTextW(window, text, 1024);
    return std::wstring(text, length > 0 ? length : 0);
}

static CRITICAL_SECTION* g_debugLock;
static std::vector<std::string>* g_debugLines;

static LONG WINAPI CollectDebugLine(EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2 && g_debugLines) {
        const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
        size_t length = static_cast<size_t>(record->ExceptionInformation[0]);
        EnterCriticalSection(g_debugLock);
        g_debugLines->push_back(std::string(text, length && !text[length - 1] ? length - 1 : length));
        LeaveCriticalSection(g_debugLock);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

DebugLines::DebugLines()
{
    static CRITICAL_SECTION lock;
    static std::vector<std::string> lines;
    InitializeCriticalSection(&lock);
    lines.clear();
    g_debugLock = &lock;
    g_debugLines = &lines;
    handler = AddVectoredExceptionHandler(1, CollectDebugLine);
}

DebugLines::~DebugLines()
{
    RemoveVectoredExceptionHandler(handler);
    g_debugLines = nullptr;
    DeleteCriticalSection(g_debugLock);
}

std::vector<std::string> DebugLines::Take()
{
    EnterCriticalSection(g_debugLock);
    std::vector<std::string> taken;
    taken.swap(*g_debugLines);
    LeaveCriticalSection(g_debugLock);
    return taken;
}


DWORD PluginHelperOf(DWORD parent)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    DWORD helper = 0;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        if (entry.th32ParentProcessID == parent && lstrcmpiA(entry.szExeFile, "OviluneHelper.exe") == 0)
            helper = entry.th32ProcessID;
    CloseHandle(snapshot);
    return helper;
}
