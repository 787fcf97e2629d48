// The test host kit: what the host does for a chip, done for real. It loads
// the .dxl as the host would, lays out the host's records at their byte
// offsets, makes chip windows, paint surfaces, picture files and plug-in
// folders, and answers modal dialogs from inside their loops.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "common/dxl_api.h"
#include "test_plugin_state.h"

// --- the library as the host sees it ------------------------------------

typedef DxlApi Dxl;

// Loads the library and finds all nineteen exports by name; on failure
// `missing` names the first export not found (or the library itself).
bool LoadDxl(Dxl* dxl, std::string* missing);
void UnloadDxl(Dxl* dxl);

// Where the build put things, found from the test executable's own path.
std::string DxlPath();
std::string TestPluginPath(const char* variant);

// --- the host's records --------------------------------------------------

// The host's records (see dxl_api.h), under the names the tests use.
typedef ChipUpdateInfo UpdateRecord;
typedef ChipEditInfo EditRecord;

inline UpdateRecord MakeUpdateRecord(const char* text, COLORREF background, int keepPicture,
                                     const void* savedBlock)
{
    return MakeChipUpdateInfo(text, background, keepPicture, savedBlock);
}
inline EditRecord MakeEditRecord(HGLOBAL text)
{
    return MakeChipEditInfo(text);
}
inline HGLOBAL EditRecordText(const EditRecord& record)
{
    return ChipEditText(record);
}
inline int EditRecordInt(const EditRecord& record, size_t offset)
{
    return ChipEditInt(record, offset);
}

// A movable global block holding text (with its zero), as the host keeps
// chip texts; and the text of such a block.
HGLOBAL GlobalText(const char* text);
std::string GlobalBlockText(HGLOBAL block);

// A SavedSettings block of 28 bytes.
struct SavedBlock {
    int payloadSize, viewMode, interval, unitIsOne, running, randomOrder, unused;
};

// --- windows, painting, messages ----------------------------------------

// A hidden top-level window whose client area is exactly width x height.
HWND CreateChipWindow(int width, int height);

// Processes every pending message of this thread.
void FlushEvents();

// The GDI objects this process holds. Where GetGuiResources answers 0 (Wine
// does), they are counted by hand: Wine takes a GDI handle's low word alone.
long long CountGdiObjects();

// The kernel handles this process holds. Where GetProcessHandleCount
// answers 0 (Wine does), they are counted by hand: they are small multiples
// of 4.
long long CountKernelHandles();

// Committed private memory of the process, from the address space itself
// (Wine's process counters do not report it).
long long CommittedPrivateBytes();

// A 32-bit top-down DIB section selected into a memory DC; destroyed when
// it goes, if DestroySurface has not done so already.
struct Surface {
    Surface() : dc(nullptr), dib(nullptr), previous(nullptr), bits(nullptr), width(0), height(0) {}
    ~Surface();
    Surface(const Surface&) = delete;
    Surface& operator=(const Surface&) = delete;
    HDC dc;
    HBITMAP dib;
    HGDIOBJ previous;
    DWORD* bits;
    int width;
    int height;
};
bool CreateSurface(Surface* surface, int width, int height);
void DestroySurface(Surface* surface);
void FillSurface(Surface* surface, COLORREF colour);
// The pixel as a COLORREF (0x00BBGGRR).
COLORREF PixelAt(const Surface& surface, int x, int y);
// Counts pixels of the rectangle that are not `colour`.
int CountOtherPixels(const Surface& surface, const RECT& rect, COLORREF colour);

// --- files ----------------------------------------------------------------

// A fresh, empty folder under the temporary folder, named with `name`
// (Japanese names welcome). Without a trailing "\".
std::string ScratchFolder(const char* name);
void RemoveTree(const std::string& folder);

// A scratch folder removed with everything in it when this goes, however
// the test ends.
struct ScratchDir {
    explicit ScratchDir(const std::string& name) : folder(ScratchFolder(name.c_str())) {}
    ~ScratchDir() { RemoveTree(folder); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string Path(const std::string& file) const { return folder + "\\" + file; }
    std::string folder;
};
bool WriteFileBytes(const std::string& path, const void* bytes, size_t size);
std::string ReadFileBytes(const std::string& path);

// TPIC pictures (the test plug-in's format); pixel(x, y) gives a COLORREF,
// whose top byte becomes the pixel's fourth, which the test plug-in hands
// on as alpha (0 in an RGB() colour: the reserved byte older plug-ins leave).
// `junk` bytes of padding come before the picture, as in a file that only
// decodes at offset 128.
typedef COLORREF (*PixelFunction)(int x, int y);
bool WriteTpic(const std::string& path, int width, int height, PixelFunction pixel, int junk = 0);
bool WriteSolidTpic(const std::string& path, int width, int height, COLORREF colour);
// A 24-bit Windows bitmap.
bool WriteBmp(const std::string& path, int width, int height, PixelFunction pixel);
bool WriteSolidBmp(const std::string& path, int width, int height, COLORREF colour);

// Copies a built test plug-in variant into folder as fileName.
bool InstallPlugin(const char* variant, const std::string& folder, const char* fileName);

// A scratch folder of test plug-ins: each variant copied under its file
// name (the variant's own, "tpic.spi", where none is given). `installed`
// says whether every copy was made. Removed when this goes; a plug-in still
// loaded then (one that faulted stays loaded) keeps its file.
struct PluginFile {
    const char* variant;
    const char* fileName;
};
struct PluginFolder {
    PluginFolder(const std::string& name, std::initializer_list<PluginFile> plugins);
    ScratchDir dir;
    bool installed;
    const std::string& Folder() const { return dir.folder; }
};

// The test plug-in's counters, read through its export.
TestPluginCounters* PluginCounters(HMODULE plugin);

// The Susie registry value the library reads; empty text removes the key.
void SetSusieFolder(const char* folder);

// Puts PATH and the Susie registry value back when a test ends, and the
// library's switches (OVILUNE_PLUGIN_HELPER, OVILUNE_HELPER_LIMIT_MS) to
// their defaults; starts the test without the registry value.
struct PluginSearchSettings {
    PluginSearchSettings();
    ~PluginSearchSettings();
    PluginSearchSettings(const PluginSearchSettings&) = delete;
    PluginSearchSettings& operator=(const PluginSearchSettings&) = delete;
    std::string savedPath;
};

// Collects the lines written through OutputDebugString, on any thread, for
// as long as it lives: OutputDebugString raises an exception that a
// vectored handler sees first, on Windows as under Wine.
struct DebugLines {
    DebugLines();
    ~DebugLines();
    DebugLines(const DebugLines&) = delete;
    DebugLines& operator=(const DebugLines&) = delete;
    std::vector<std::string> Take();  // the lines so far, which it then forgets
    void* handler;
};

// The library's plug-in helper that process `parent` started, or 0.
DWORD PluginHelperOf(DWORD parent);

// --- modal dialogs --------------------------------------------------------

// Called from a timer inside whatever modal loop runs, with the thread's
// active dialog or message box (class #32770), or null while there is none.
// Returns true once it has done its work; the driver then stops.
typedef bool (*DialogStep)(HWND dialog, void* context);

// Arms a thread timer that calls step until it returns true. Disarm after
// the modal call returns, whatever happened.
void ArmDialogDriver(DialogStep step, void* context);
void DisarmDialogDriver();

// The thread's visible #32770 window whose caption is `caption` (any when
// null), topmost first.
HWND FindThreadDialog(const char* caption);

std::string WindowTextA(HWND window);
std::wstring WindowTextW(HWND window);
