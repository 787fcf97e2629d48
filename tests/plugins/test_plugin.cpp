// A Susie import filter for the tests, built in several variants from this
// one source (see tests/CMakeLists.txt). It decodes "TPIC" files: the magic,
// then width and height as 32-bit little-endian numbers, then width x height
// pixels of 4 bytes (blue, green, red, unused), top row first.
//
// Variants (compile definitions):
//   FORMATS=n           number of formats it lists (default 1)
//   VERSION_TEXT="00AM" another kind of plug-in
//   NEVER_ACCEPT        IsSupported always says no
//   FAIL_GET_PICTURE    GetPicture reports a broken file
//   NO_IS_SUPPORTED / NO_GET_PICTURE   the export is missing
//   INFO_FULL           pattern and description fill the whole buffer,
//                       unterminated, and report its full length
//   INFO_SHORT          the reported lengths are shorter than the texts
//   NO_DESCRIPTION      patterns come without descriptions
//   SHORT_BITS          the bits block is smaller than the header says
//   NO_PLUGIN_INFO      not a plug-in at all: GetPluginInfo is missing
//   FAULT=kind          faults as a broken plug-in does: 1 access violation,
//                       2 illegal instruction, 3 division by zero, 4 stack
//                       overflow; where, by one of:
//   FAULT_IN_INFO       GetPluginInfo, when asked for its formats
//   FAULT_ON_CRASH_HEADER  IsSupported, on data starting "CRSH" only
//   FAULT_BEFORE_ALLOC / FAULT_AFTER_ALLOC   GetPicture, before allocating
//                       its blocks or after handing them out
//   FAULT_SECOND_CALL   GetPicture, from its second call on
#include <windows.h>

#include <cstring>

#include "sources/susie.h"
#include "test_plugin_state.h"

#ifndef FORMATS
#define FORMATS 1
#endif
#ifndef VERSION_TEXT
#define VERSION_TEXT "00IN"
#endif

#define PLUGIN_EXPORT extern "C" __declspec(dllexport)

static TestPluginCounters g_counters;

PLUGIN_EXPORT TestPluginCounters* WINAPI TestPluginState()
{
    return &g_counters;
}

#ifdef FAULT
static volatile int g_zero;

// Deep enough to meet the end of any stack; the condition keeps the
// recursion from being provably infinite.
[[maybe_unused]] static int Descend(int depth)
{
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (g_zero == 1)
        return 0;
    return Descend(depth + 1) + frame[0];
}

static void Fault()
{
#if FAULT == 1
    *static_cast<volatile int*>(nullptr) = 1;
#elif FAULT == 2
    __builtin_trap();
#elif FAULT == 3
    // Both operands unknown to the compiler, or it folds the division away.
    volatile unsigned dividend = 1;
    g_counters.lastFlag = dividend / static_cast<unsigned>(g_zero);
#else
    Descend(0);
#endif
}
#endif

[[maybe_unused]] static int Put(LPSTR buffer, int length, const char* text, int reported)
{
    int size = lstrlenA(text);
    if (size >= length)
        size = length - 1;
    if (size < 0)
        return 0;
    memcpy(buffer, text, size);
    buffer[size] = '\0';
    return reported < size ? reported : size;
}

#ifndef NO_PLUGIN_INFO
PLUGIN_EXPORT int WINAPI GetPluginInfo(int infono, LPSTR buffer, int length)
{
    if (!buffer || length <= 0)
        return 0;
    if (infono == 0)
        return Put(buffer, length, VERSION_TEXT, 1 << 30);
    if (infono == 1)
        return Put(buffer, length, "Ovilune test plug-in", 1 << 30);
    int format = (infono - 2) / 2;
    if (format >= FORMATS)
        return 0;
#ifdef FAULT_IN_INFO
    Fault();
#endif
    bool description = infono % 2 == 1;
#if defined(INFO_FULL)
    memset(buffer, description ? 'd' : 'p', length);
    return length;
#elif defined(INFO_SHORT)
    return Put(buffer, length, description ? "Test pictures, long" : "*.tpc;*.tpx", description ? 4 : 5);
#else
#if defined(NO_DESCRIPTION)
    if (description)
        return 0;
#endif
    char text[64];
    if (description)
        wsprintfA(text, "Test picture %d", format + 1);
    else
        wsprintfA(text, format == 0 ? "*.tpc" : "*.tp%d", format + 1);
    return Put(buffer, length, text, 1 << 30);
#endif
}
#endif

#ifndef NO_IS_SUPPORTED
PLUGIN_EXPORT int WINAPI IsSupported(LPCSTR /*name*/, void* probe)
{
    g_counters.isSupportedCalls++;
    const BYTE* bytes = static_cast<const BYTE*>(probe);
    memcpy(g_counters.lastProbe, bytes, sizeof(g_counters.lastProbe));
    g_counters.probeTailZero = bytes[kSusieProbeSize - 1] == 0;
#ifdef FAULT_ON_CRASH_HEADER
    if (memcmp(bytes, "CRSH", 4) == 0)
        Fault();
#endif
#ifdef NEVER_ACCEPT
    return 0;
#else
    return memcmp(bytes, "TPIC", 4) == 0;
#endif
}
#endif

[[maybe_unused]] static bool ReadExact(HANDLE file, void* buffer, DWORD size)
{
    DWORD read = 0;
    return ReadFile(file, buffer, size, &read, nullptr) && read == size;
}

#ifndef NO_GET_PICTURE
PLUGIN_EXPORT int WINAPI GetPicture([[maybe_unused]] LPCSTR name, LONG_PTR offset, unsigned flag,
                                    [[maybe_unused]] HLOCAL* info, [[maybe_unused]] HLOCAL* bits,
                                    SusieProgress, LONG_PTR)
{
    g_counters.getPictureCalls++;
    g_counters.lastOffset = offset;
    g_counters.lastFlag = flag;
#ifdef FAULT_BEFORE_ALLOC
    Fault();
#endif
#ifdef FAULT_SECOND_CALL
    if (g_counters.getPictureCalls >= 2)
        Fault();
#endif
#ifdef FAIL_GET_PICTURE
    return SPI_BROKEN_DATA;
#else
    if ((flag & 7) != SPI_INPUT_FILE)
        return SPI_NOT_IMPLEMENTED;
    HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return SPI_FILE_READ_ERROR;
    int result = SPI_BROKEN_DATA;
    BYTE header[12];
    SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN);
    if (ReadExact(file, header, sizeof(header)) && memcmp(header, "TPIC", 4) == 0) {
        LONG width, height;
        memcpy(&width, header + 4, 4);
        memcpy(&height, header + 8, 4);
        if (width > 0 && height > 0 && width <= 8192 && height <= 8192) {
            DWORD rowBytes = static_cast<DWORD>(width) * 4;
            HLOCAL infoBlock = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, sizeof(BITMAPINFOHEADER));
#ifdef SHORT_BITS
            DWORD bitsSize = rowBytes * static_cast<DWORD>(height) / 2;
#else
            DWORD bitsSize = rowBytes * static_cast<DWORD>(height);
#endif
            HLOCAL bitsBlock = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, bitsSize);
            BITMAPINFOHEADER* bih = infoBlock ? static_cast<BITMAPINFOHEADER*>(LocalLock(infoBlock)) : nullptr;
            BYTE* pixels = bitsBlock ? static_cast<BYTE*>(LocalLock(bitsBlock)) : nullptr;
            if (bih && pixels) {
                bih->biSize = sizeof(BITMAPINFOHEADER);
                bih->biWidth = width;
                bih->biHeight = height;  // bottom-up, as plug-ins deliver
                bih->biPlanes = 1;
                bih->biBitCount = 32;
                bih->biCompression = BI_RGB;
                result = SPI_SUCCESS;
                for (LONG row = 0; row < height && result == SPI_SUCCESS; row++) {
                    DWORD target = static_cast<DWORD>(height - 1 - row) * rowBytes;
                    BYTE scratch[8192 * 4];
                    if (!ReadExact(file, scratch, rowBytes))
                        result = SPI_BROKEN_DATA;
                    else if (target + rowBytes <= bitsSize)
                        memcpy(pixels + target, scratch, rowBytes);
                }
            } else {
                result = SPI_NO_MEMORY;
            }
            if (bih)
                LocalUnlock(infoBlock);
            if (pixels)
                LocalUnlock(bitsBlock);
            if (result == SPI_SUCCESS) {
                *info = infoBlock;  // the caller's from here
                *bits = bitsBlock;
#ifdef FAULT_AFTER_ALLOC
                Fault();
#endif
            } else {
                if (infoBlock)
                    LocalFree(infoBlock);
                if (bitsBlock)
                    LocalFree(bitsBlock);
            }
        }
    }
    CloseHandle(file);
    return result;
#endif
}
#endif
