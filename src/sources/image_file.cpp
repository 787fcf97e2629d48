#include "sources/loaders.h"

#include <cstring>

#include "sources/path_list.h"
#include "sources/picture_form.h"
#include "sources/plugin_guard.h"
#include "sources/susie.h"

static FARPROC PluginFunction(HMODULE module, const char* name)
{
    return module ? GetProcAddress(module, name) : nullptr;
}

// Whether the platform's bitmap reader may be given the file: the headers
// must describe pixels the file holds and a 32-bit process can hold. The
// reader trusts them, and a file that claims its pixels lie past its end, or
// that it holds 30000 x 30000 of them, takes the whole process down inside
// it. What a well-formed file of any kind declares passes unchanged.
static bool BitmapFileIsSane(const char* path, DisplaySize* size)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BYTE head[14 + 40] = {};
    DWORD read = 0;
    LARGE_INTEGER fileSize = {};
    bool readable = ReadFile(file, head, sizeof(head), &read, nullptr) && GetFileSizeEx(file, &fileSize);
    CloseHandle(file);
    if (!readable || read < 14 + 12 || head[0] != 'B' || head[1] != 'M')
        return false;

    DWORD offBits, headerSize;
    memcpy(&offBits, head + 10, 4);
    memcpy(&headerSize, head + 14, 4);
    long long width, height;
    WORD bitCount;
    DWORD compression = BI_RGB;
    if (headerSize == 12) {  // the OS/2 core header: 16-bit sizes
        WORD w, h;
        memcpy(&w, head + 18, 2);
        memcpy(&h, head + 20, 2);
        memcpy(&bitCount, head + 24, 2);
        width = w;
        height = h;
    } else {
        if (headerSize < 40 || read < 14 + 40)
            return false;
        LONG w, h;
        memcpy(&w, head + 18, 4);
        memcpy(&h, head + 22, 4);
        memcpy(&bitCount, head + 28, 2);
        memcpy(&compression, head + 30, 4);
        width = w;
        height = h < 0 ? -static_cast<long long>(h) : h;
    }
    if (width <= 0 || height <= 0 || bitCount == 0 || bitCount > 32)
        return false;
    size->width = static_cast<int>(width);
    size->height = static_cast<int>(height);
    long long stride = (width * bitCount + 31) / 32 * 4;
    if (stride * height > 0x7FFFFFFFLL)
        return false;
    if (offBits >= static_cast<unsigned long long>(fileSize.QuadPart))
        return false;
    // Uncompressed rows, with or without bit fields, must all be in the file;
    // run-length data is read only as far as the file goes.
    if (compression == BI_RGB || compression == BI_BITFIELDS)
        return offBits + stride * height <= fileSize.QuadPart;
    return true;
}

static DisplaySize HeldFor(const HeldRule* rule, DisplaySize whole)
{
    if (!rule)
        return whole;
    return HeldSize(rule->mode, rule->clientWidth, rule->clientHeight, whole.width, whole.height);
}

static COLORREF BackgroundOf(const HeldRule* rule)
{
    return rule ? rule->background : RGB(255, 255, 255);
}

// What the held copy of a `whole` picture takes: 4 bytes a pixel whole, 3
// reduced.
static unsigned long long HeldBytes(DisplaySize held, DisplaySize whole)
{
    bool reduced = held.width < whole.width || held.height < whole.height;
    return static_cast<unsigned long long>(held.width) * held.height * (reduced ? 3 : 4);
}

static bool WithinBudget(const OffThreadLoad* offThread, const HeldRule* rule, DisplaySize whole)
{
    return !offThread || HeldBytes(HeldFor(rule, whole), whole) <= offThread->mostBytes;
}

static bool HasBitmapSuffix(const char* path, size_t length)
{
    // Only the last three characters count; the dot is not looked at.
    return length >= 3 && lstrcmpiA(path + length - 3, "bmp") == 0;
}

// The probe buffers handed to IsSupported: the 2 KB at offsets 0 and 128,
// zero-padded where the file is shorter. Read once per load; each plug-in
// gets its own copy, since the interface does not promise it is left alone.
struct ProbeData {
    BYTE atZero[kSusieProbeSize];
    BYTE at128[kSusieProbeSize];
};

static void ReadProbe(HANDLE file, LONG offset, BYTE (&buffer)[kSusieProbeSize])
{
    memset(buffer, 0, sizeof(buffer));
    if (SetFilePointer(file, offset, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return;
    DWORD read = 0;
    if (!ReadFile(file, buffer, sizeof(buffer), &read, nullptr))
        memset(buffer, 0, sizeof(buffer));
}

struct ProbeCall {
    SusieIsSupported isSupported;
    const char* path;
    BYTE* buffer;
};

static int CallIsSupported(void* args)
{
    ProbeCall* call = static_cast<ProbeCall*>(args);
    return call->isSupported(call->path, call->buffer);
}

// Whether the plug-in accepts the data; a plug-in that faults says no and is
// disabled.
static bool Probe(LoaderList loaders, const LoaderEntry* entry, SusieIsSupported isSupported,
                  const char* path, const BYTE (&data)[kSusieProbeSize])
{
    BYTE copy[kSusieProbeSize];
    memcpy(copy, data, sizeof(copy));
    ProbeCall call = {isSupported, path, copy};
    DWORD faulted = 0;
    int accepted = GuardedPluginCall(CallIsSupported, &call, 0, &faulted);
    if (faulted)
        DisablePlugin(loaders, entry->module);
    return accepted != 0;
}

static bool ReadProbes(const char* path, ProbeData* probe)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    ReadProbe(file, 0, probe->atZero);
    ReadProbe(file, 128, probe->at128);
    CloseHandle(file);
    return true;
}

// The entry's IsSupported, or null where it has none or its plug-in faulted.
static SusieIsSupported ProbeOf(const LoaderEntry* entry)
{
    if (entry->faulted)
        return nullptr;
    return reinterpret_cast<SusieIsSupported>(reinterpret_cast<void*>(PluginFunction(entry->module, "IsSupported")));
}

// The first entry whose plug-in accepts the file at offset 0 or 128. Off
// the host's thread the search starts where it was told and stops at the
// first plug-in that may not run there.
static const LoaderEntry* FindDecoder(const char* path, const ProbeData& probe,
                                      LoaderList loaders, LONG_PTR* offset, const OffThreadLoad* offThread)
{
    const LoaderEntry* start = offThread ? offThread->first : loaders ? loaders->next : nullptr;
    for (const LoaderEntry* entry = start; entry; entry = entry->next) {
        SusieIsSupported isSupported = ProbeOf(entry);
        if (!isSupported)
            continue;
        if (offThread && !entry->anyThread)
            return nullptr;
        if (Probe(loaders, entry, isSupported, path, probe.atZero)) {
            *offset = 0;
            return entry;
        }
        if (!entry->faulted && Probe(loaders, entry, isSupported, path, probe.at128)) {
            *offset = 128;
            return entry;
        }
    }
    return nullptr;
}

static SIZE_T ColorTableEntries(const BITMAPINFOHEADER* header)
{
    if (header->biBitCount <= 8) {
        SIZE_T full = SIZE_T(1) << header->biBitCount;
        return header->biClrUsed && header->biClrUsed < full ? header->biClrUsed : full;
    }
    if (header->biCompression == BI_BITFIELDS)
        return 3;
    return header->biClrUsed;
}

bool DibFitsBlocks(const BITMAPINFOHEADER* header, SIZE_T infoSize, SIZE_T bitsSize)
{
    if (infoSize < sizeof(BITMAPINFOHEADER) || header->biSize < sizeof(BITMAPINFOHEADER)
        || header->biSize > infoSize)
        return false;
    if (header->biCompression != BI_RGB && header->biCompression != BI_BITFIELDS)
        return false;
    if (header->biCompression == BI_BITFIELDS && header->biBitCount != 16 && header->biBitCount != 32)
        return false;
    switch (header->biBitCount) {
    case 1: case 4: case 8: case 16: case 24: case 32:
        break;
    default:
        return false;
    }
    if (header->biWidth <= 0 || header->biHeight == 0 || header->biPlanes != 1)
        return false;

    unsigned long long colors = ColorTableEntries(header);
    if (header->biSize + colors * sizeof(RGBQUAD) > infoSize)
        return false;

    unsigned long long height = header->biHeight < 0
        ? 0ULL - static_cast<long long>(header->biHeight)
        : static_cast<unsigned long long>(header->biHeight);
    unsigned long long stride =
        ((static_cast<unsigned long long>(header->biWidth) * header->biBitCount + 31) / 32) * 4;
    // The width is below 2^31 and the bit count at most 32, so the stride is
    // below 2^33; the height is at most 2^31: the product stays below 2^64.
    return stride * height <= bitsSize;
}

static HBITMAP BitmapFromBlocks(HLOCAL infoBlock, HLOCAL bitsBlock, HBITMAP spare, const HeldRule* rule,
                                DisplaySize* imageSize)
{
    SIZE_T infoSize = LocalSize(infoBlock);
    SIZE_T bitsSize = LocalSize(bitsBlock);
    const BITMAPINFO* info = static_cast<const BITMAPINFO*>(LocalLock(infoBlock));
    if (!info)
        return nullptr;
    HBITMAP bitmap = nullptr;
    void* bits = LocalLock(bitsBlock);
    if (bits) {
        if (DibFitsBlocks(&info->bmiHeader, infoSize, bitsSize)) {
            const BITMAPINFOHEADER& header = info->bmiHeader;
            // The plug-in's blocks are ours: composed where they lie.
            ComposeTransparency(header, bits, BackgroundOf(rule));
            DisplaySize whole = {header.biWidth, header.biHeight < 0 ? -header.biHeight : header.biHeight};
            bitmap = PictureFromDib(info, bits, spare, HeldFor(rule, whole));
            if (bitmap)
                *imageSize = whole;
        }
        LocalUnlock(bitsBlock);
    }
    LocalUnlock(infoBlock);
    return bitmap;
}

struct PictureCall {
    SusieGetPicture getPicture;
    const char* path;
    LONG_PTR offset;
    HLOCAL* info;
    HLOCAL* bits;
};

static int CallGetPicture(void* args)
{
    PictureCall* call = static_cast<PictureCall*>(args);
    return call->getPicture(call->path, call->offset, SPI_INPUT_FILE, call->info, call->bits, nullptr, 0);
}

// What the library answers our own plug-in when it asks what size to
// decode to, and what it was told.
struct HeldQuestion {
    const HeldRule* rule;
    const OffThreadLoad* offThread;
    DisplaySize whole;
    DisplaySize held;
    bool overBudget;  // refused: the held copy would pass the off-thread budget
};

// A size the plug-in cannot honour (0 x 0) refuses a copy over the budget
// before anything is decoded.
static void WINAPI AnswerHeldSize(long width, long height, long* wantedWidth, long* wantedHeight, LONG_PTR context)
{
    HeldQuestion* question = reinterpret_cast<HeldQuestion*>(context);
    question->whole = {static_cast<int>(width), static_cast<int>(height)};
    question->held = HeldFor(question->rule, question->whole);
    question->overBudget = !WithinBudget(question->offThread, question->rule, question->whole);
    *wantedWidth = question->overBudget ? 0 : question->held.width;
    *wantedHeight = question->overBudget ? 0 : question->held.height;
}

struct ReducedCall {
    ReducedGetPicture getReduced;
    const char* path;
    LONG_PTR offset;
    HeldQuestion* question;
    HLOCAL* info;
    HLOCAL* bits;
};

// Asked for its transparency as straight alpha, to be composed over the
// chip's own colour rather than white.
static int CallGetReducedPicture(void* args)
{
    ReducedCall* call = static_cast<ReducedCall*>(args);
    return call->getReduced(call->path, call->offset, SPI_INPUT_FILE | kSpiStraightAlpha, AnswerHeldSize,
                            reinterpret_cast<LONG_PTR>(call->question), call->info, call->bits, nullptr, 0);
}

// The held copy from a 24-bit DIB of exactly the held size, or a 32-bit one
// with straight alpha composed over the background first; or null.
static HBITMAP HeldFromBlocks(HLOCAL infoBlock, HLOCAL bitsBlock, HBITMAP spare, DisplaySize held,
                              COLORREF background)
{
    HBITMAP bitmap = nullptr;
    const BITMAPINFO* header = static_cast<const BITMAPINFO*>(LocalLock(infoBlock));
    void* bits = header ? LocalLock(bitsBlock) : nullptr;
    if (bits && DibFitsBlocks(&header->bmiHeader, LocalSize(infoBlock), LocalSize(bitsBlock))
        && (header->bmiHeader.biBitCount == 24 || header->bmiHeader.biBitCount == 32)
        && header->bmiHeader.biWidth == held.width
        && (header->bmiHeader.biHeight == held.height || header->bmiHeader.biHeight == -held.height)) {
        ComposeTransparency(header->bmiHeader, bits, background);
        bitmap = PictureFromReducedDib(header, bits, spare);
    }
    if (bits)
        LocalUnlock(bitsBlock);
    if (header)
        LocalUnlock(infoBlock);
    return bitmap;
}

// Through our own plug-in a picture larger than a chip shows is decoded
// straight to the held size, never held whole, in one opening of the file
// (Wine's JPEG decoder decodes the whole picture just to give its size).
// False when the plug-in cannot (another plug-in, or a size it refuses):
// the caller then decodes whole and reduces, as for any plug-in.
static bool DecodeThroughOwn(const char* path, LoaderList loaders, const LoaderEntry* entry, LONG_PTR offset,
                             HBITMAP spare, const HeldRule* rule, DisplaySize* imageSize,
                             const OffThreadLoad* offThread, HBITMAP* picture)
{
    *picture = nullptr;
    ReducedGetPicture getReduced = reinterpret_cast<ReducedGetPicture>(
        reinterpret_cast<void*>(PluginFunction(entry->module, kReducedGetPictureName)));
    if (!rule || !getReduced)
        return false;
    HLOCAL infoBlock = nullptr;
    HLOCAL bitsBlock = nullptr;
    HeldQuestion question = {rule, offThread, {0, 0}, {0, 0}, false};
    ReducedCall call = {getReduced, path, offset, &question, &infoBlock, &bitsBlock};
    DWORD faulted = 0;
    int result = GuardedPluginCall(CallGetReducedPicture, &call, SPI_INTERNAL_ERROR, &faulted);
    if (faulted)
        DisablePlugin(loaders, entry->module);
    // Over the budget is final: no whole decode instead.
    if (result == SPI_NOT_IMPLEMENTED && !faulted && !question.overBudget)
        return false;
    // As after GetPicture: blocks are ours only after a success.
    if (result != SPI_SUCCESS || !infoBlock || !bitsBlock)
        return true;
    bool reduced = question.held.width < question.whole.width || question.held.height < question.whole.height;
    if (reduced) {
        *picture = HeldFromBlocks(infoBlock, bitsBlock, spare, question.held, rule->background);
        if (*picture)
            *imageSize = question.whole;
    } else {
        *picture = BitmapFromBlocks(infoBlock, bitsBlock, spare, rule, imageSize);
    }
    LocalFree(infoBlock);
    if (bitsBlock != infoBlock)
        LocalFree(bitsBlock);
    return true;
}

static HBITMAP Decode(const char* path, LoaderList loaders, const LoaderEntry* entry, LONG_PTR offset,
                      HBITMAP spare, const HeldRule* rule, DisplaySize* imageSize, const OffThreadLoad* offThread)
{
    HBITMAP picture = nullptr;
    if (DecodeThroughOwn(path, loaders, entry, offset, spare, rule, imageSize, offThread, &picture))
        return picture;
    SusieGetPicture getPicture = reinterpret_cast<SusieGetPicture>(
        reinterpret_cast<void*>(PluginFunction(entry->module, "GetPicture")));
    if (!getPicture)
        return nullptr;
    HLOCAL infoBlock = nullptr;
    HLOCAL bitsBlock = nullptr;
    PictureCall call = {getPicture, path, offset, &infoBlock, &bitsBlock};
    DWORD faulted = 0;
    int result = GuardedPluginCall(CallGetPicture, &call, SPI_INTERNAL_ERROR, &faulted);
    if (faulted)
        DisablePlugin(loaders, entry->module);
    // After a failure, or a fault, whatever the out-parameters hold is not
    // ours to free: a plug-in may hand out blocks it still owns, or free them
    // later. Plug-ins that allocate and then fail leak those blocks.
    if (result != SPI_SUCCESS)
        return nullptr;
    HBITMAP bitmap = nullptr;
    if (infoBlock && bitsBlock)
        bitmap = BitmapFromBlocks(infoBlock, bitsBlock, spare, rule, imageSize);
    // A successful call hands both blocks to us.
    if (infoBlock)
        LocalFree(infoBlock);
    if (bitsBlock && bitsBlock != infoBlock)
        LocalFree(bitsBlock);
    if (bitmap && !WithinBudget(offThread, rule, *imageSize)) {
        DeleteObject(bitmap);
        bitmap = nullptr;
    }
    return bitmap;
}

// The platform's bitmap reader, for a file that passed BitmapFileIsSane.
static HBITMAP LoadBitmapFile(const char* path, HBITMAP spare, const HeldRule* rule, DisplaySize* imageSize)
{
    HBITMAP loaded = static_cast<HBITMAP>(
        LoadImageA(nullptr, path, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_DEFAULTSIZE | LR_CREATEDIBSECTION));
    BITMAP size;
    if (!loaded || GetObjectA(loaded, sizeof(size), &size) != sizeof(size)) {
        if (loaded)
            DeleteObject(loaded);
        return nullptr;
    }
    DisplaySize whole = {size.bmWidth, size.bmHeight < 0 ? -size.bmHeight : size.bmHeight};
    HBITMAP picture = PictureFromBitmap(loaded, spare, HeldFor(rule, whole));
    if (picture)
        *imageSize = whole;
    return picture;
}

const LoaderEntry* EntryForAnyThread(const char* path, LoaderList loaders)
{
    size_t length = path ? strnlen(path, kPathBufferSize) : 0;
    if (!loaders || length == 0 || length >= kPathBufferSize)
        return nullptr;
    if (HasBitmapSuffix(path, length))
        return loaders;
    ProbeData* probe = nullptr;  // read only when a plug-in is to be asked here
    const LoaderEntry* found = nullptr;
    for (const LoaderEntry* entry = loaders->next; entry; entry = entry->next) {
        SusieIsSupported isSupported = ProbeOf(entry);
        if (!isSupported)
            continue;
        if (entry->anyThread) {
            found = entry;
            break;
        }
        if (!probe) {
            probe = static_cast<ProbeData*>(HeapAlloc(GetProcessHeap(), 0, sizeof(ProbeData)));
            if (!probe || !ReadProbes(path, probe))
                break;
        }
        if (Probe(loaders, entry, isSupported, path, probe->atZero)
            || (!entry->faulted && Probe(loaders, entry, isSupported, path, probe->at128)))
            break;  // it takes the file, and may not run anywhere else
    }
    if (probe)
        HeapFree(GetProcessHeap(), 0, probe);
    return found;
}

HBITMAP LoadImageFile(const char* path, LoaderList loaders, HBITMAP spare, const HeldRule* rule,
                      DisplaySize* imageSize, const OffThreadLoad* offThread)
{
    DisplaySize ignored;
    if (!imageSize)
        imageSize = &ignored;
    if (!path)
        return nullptr;
    size_t length = strnlen(path, kPathBufferSize);
    if (length == 0 || length >= kPathBufferSize)
        return nullptr;
    if (HasBitmapSuffix(path, length)) {
        DisplaySize declared = {0, 0};
        if (!BitmapFileIsSane(path, &declared) || !WithinBudget(offThread, rule, declared))
            return nullptr;
        return LoadBitmapFile(path, spare, rule, imageSize);
    }

    ProbeData* probe = static_cast<ProbeData*>(HeapAlloc(GetProcessHeap(), 0, sizeof(ProbeData)));
    const LoaderEntry* chosen = nullptr;
    LONG_PTR offset = 0;
    if (probe && ReadProbes(path, probe))
        chosen = FindDecoder(path, *probe, loaders, &offset, offThread);
    if (probe)
        HeapFree(GetProcessHeap(), 0, probe);
    if (!chosen)
        return nullptr;
    return Decode(path, loaders, chosen, offset, spare, rule, imageSize, offThread);
}
