#include "pictures/image_file.h"

#include <cstring>

#include "chip/path_list.h"
#include "common/owners.h"
#include "common/susie.h"
#include "pictures/helper_load.h"
#include "pictures/load_report.h"
#include "pictures/picture_form.h"
#include "plugin_host/plugin_calls.h"

// Whether the platform's bitmap reader may be given the file: the headers
// must describe pixels the file holds and a 32-bit process can hold. The
// reader trusts them, and a file that claims its pixels lie past its end, or
// that it holds 30000 x 30000 of them, takes the whole process down inside
// it. What a well-formed file of any kind declares passes unchanged.
static bool BitmapFileIsSane(const char* path, DisplaySize* size, LoadReport* report)
{
    BYTE head[14 + 40] = {};
    DWORD read = 0;
    LARGE_INTEGER fileSize = {};
    {
        Handle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
        if (!file.Valid() || !ReadFile(file.handle, head, sizeof(head), &read, nullptr)
            || !GetFileSizeEx(file.handle, &fileSize)) {
            report->failure = kLoadNoFile;
            report->code = GetLastError();
            return false;
        }
    }
    report->failure = kLoadBadBitmap;
    if (read < 14 + 12 || head[0] != 'B' || head[1] != 'M')
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

// The held copy from the plug-in's blocks (ours: transparency is composed
// over the background where they lie). Without `reduced` they hold the whole
// picture, reduced here from their rows to the rule's held size and its size
// put in *imageSize; with it, our plug-in already reduced them to exactly
// that size, 24 or 32 bits a pixel.
static HBITMAP HeldFromBlocks(const PluginBlocks& blocks, HBITMAP spare, const HeldRule* rule,
                              const DisplaySize* reduced, DisplaySize* imageSize, LoadReport* report)
{
    LockedLocal<const BITMAPINFO> info(blocks.info);
    LockedLocal<void> bits(blocks.bits);
    report->failure = kLoadPluginBlocks;
    if (!info.data || !bits.data || !DibFitsBlocks(&info->bmiHeader, info.Size(), bits.Size()))
        return nullptr;
    const BITMAPINFOHEADER& header = info->bmiHeader;
    DisplaySize size = {header.biWidth, header.biHeight < 0 ? -header.biHeight : header.biHeight};
    if (reduced
        && ((header.biBitCount != 24 && header.biBitCount != 32) || size.width != reduced->width
            || size.height != reduced->height))
        return nullptr;
    ComposeTransparency(header, bits.data, BackgroundOf(rule));
    HBITMAP bitmap = reduced ? PictureFromReducedDib(info.data, bits.data, spare)
                             : PictureFromDib(info.data, bits.data, spare, HeldFor(rule, size));
    report->failure = bitmap ? kLoadShown : kLoadNoMemory;
    if (bitmap && !reduced)
        *imageSize = size;
    return bitmap;
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

// What a plug-in's result other than success says: its code, or the fault
// that disabled it during the call.
static void PluginFailed(const LoaderEntry* entry, int result, LoadReport* report)
{
    LONG fault = entry->faulted;
    report->failure = fault ? kLoadPluginFault : kLoadPluginError;
    report->code = fault ? static_cast<DWORD>(fault) : static_cast<DWORD>(result);
}

// Through our own plug-in a picture larger than a chip shows is decoded
// straight to the held size, never held whole, in one opening of the file
// (Wine's JPEG decoder decodes the whole picture just to give its size).
// False when the plug-in cannot (another plug-in, or a size it refuses):
// the caller then decodes whole and reduces, as for any plug-in.
static bool DecodeThroughOwn(const char* path, LoaderList loaders, const LoaderEntry* entry, LONG_PTR offset,
                             HBITMAP spare, const HeldRule* rule, DisplaySize* imageSize,
                             const OffThreadLoad* offThread, HBITMAP* picture, LoadReport* report)
{
    *picture = nullptr;
    if (!rule)
        return false;
    HeldQuestion question = {rule, offThread, {0, 0}, {0, 0}, false};
    PluginBlocks blocks;
    int result = DecodeReducedWithPlugin(loaders, entry, path, offset, AnswerHeldSize,
                                         reinterpret_cast<LONG_PTR>(&question), &blocks);
    // Over the budget is final: no whole decode instead.
    if (question.overBudget) {
        report->failure = kLoadOverBudget;
        return true;
    }
    if (result == SPI_NOT_IMPLEMENTED)
        return false;
    if (result != SPI_SUCCESS) {
        PluginFailed(entry, result, report);
        return true;
    }
    bool reduced = question.held.width < question.whole.width || question.held.height < question.whole.height;
    *picture = HeldFromBlocks(blocks, spare, rule, reduced ? &question.held : nullptr, imageSize, report);
    if (*picture && reduced)
        *imageSize = question.whole;
    return true;
}

static HBITMAP Decode(const char* path, LoaderList loaders, const LoaderEntry* entry, LONG_PTR offset,
                      HBITMAP spare, const HeldRule* rule, DisplaySize* imageSize, const OffThreadLoad* offThread,
                      LoadReport* report)
{
    report->plugin = entry->module;
    HBITMAP picture = nullptr;
    if (DecodeThroughOwn(path, loaders, entry, offset, spare, rule, imageSize, offThread, &picture, report))
        return picture;
    PluginBlocks blocks;
    int result = DecodeWithPlugin(loaders, entry, path, offset, &blocks);
    if (result != SPI_SUCCESS) {
        PluginFailed(entry, result, report);
        return nullptr;
    }
    HBITMAP bitmap = HeldFromBlocks(blocks, spare, rule, nullptr, imageSize, report);
    if (bitmap && !WithinBudget(offThread, rule, *imageSize)) {
        DeleteObject(bitmap);
        bitmap = nullptr;
        report->failure = kLoadOverBudget;
    }
    return bitmap;
}

// The platform's bitmap reader, for a file that passed BitmapFileIsSane.
static HBITMAP LoadBitmapFile(const char* path, HBITMAP spare, const HeldRule* rule, DisplaySize* imageSize,
                              LoadReport* report)
{
    report->failure = kLoadPlatformFailed;
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
    report->failure = picture ? kLoadShown : kLoadNoMemory;
    if (picture)
        *imageSize = whole;
    return picture;
}

// The picture, with what happened to it in *report where it gave none.
static HBITMAP LoadOrSayWhy(const char* path, LoaderList loaders, HBITMAP spare, const HeldRule* rule,
                            DisplaySize* imageSize, const OffThreadLoad* offThread, LoadReport* report)
{
    if (HasBitmapSuffix(path, strlen(path))) {
        DisplaySize declared = {0, 0};
        if (!BitmapFileIsSane(path, &declared, report))
            return nullptr;
        if (!WithinBudget(offThread, rule, declared)) {
            report->failure = kLoadOverBudget;
            return nullptr;
        }
        return LoadBitmapFile(path, spare, rule, imageSize, report);
    }

    const LoaderEntry* chosen = nullptr;
    LONG_PTR offset = 0;
    {
        HeapArray<ProbeData> probe;
        if (!probe.Allocate(1, false)) {
            report->failure = kLoadNoMemory;
            return nullptr;
        }
        if (!ReadProbes(path, probe.items)) {
            report->failure = kLoadNoFile;
            report->code = GetLastError();
            return nullptr;
        }
        const LoaderEntry* first = offThread ? offThread->first : loaders ? loaders->next : nullptr;
        chosen = FindDecoder(path, *probe.items, loaders, first, offThread && offThread->anyThreadOnly, &offset);
    }
    if (!chosen) {
        // Off the host's thread that may be only a plug-in that must not run
        // there: the host's own load of it says what it finds.
        report->failure = offThread && offThread->anyThreadOnly ? kLoadNotOffThread : kLoadNoPlugin;
        return nullptr;
    }
    return Decode(path, loaders, chosen, offset, spare, rule, imageSize, offThread, report);
}

HBITMAP LoadImageFileHere(const char* path, LoaderList loaders, HBITMAP spare, const HeldRule* rule,
                          DisplaySize* imageSize, const OffThreadLoad* offThread, LoadReport* report)
{
    *report = {kLoadShown, nullptr, 0, offThread != nullptr};
    DisplaySize ignored;
    if (!imageSize)
        imageSize = &ignored;
    // An empty line names no file; one too long for a path was cut from the
    // text already. Neither is a load that failed.
    if (!path)
        return nullptr;
    size_t length = strnlen(path, kPathBufferSize);
    if (length == 0 || length >= kPathBufferSize)
        return nullptr;
    return LoadOrSayWhy(path, loaders, spare, rule, imageSize, offThread, report);
}

HBITMAP LoadImageFile(const char* path, LoaderList loaders, HBITMAP spare, const HeldRule* rule,
                      DisplaySize* imageSize, const OffThreadLoad* offThread)
{
    DisplaySize ignored;
    if (!imageSize)
        imageSize = &ignored;
    LoadReport report = {kLoadShown, nullptr, 0, offThread != nullptr};
    HBITMAP picture = nullptr;
    // Plug-ins decode in a helper process where one runs. Bitmap files are
    // the platform's, and read here; so is everything wherever no helper
    // can be had, except a read-ahead meant for the helper: its picture is
    // then simply not prepared.
    bool plugin = path && !HasBitmapSuffix(path, strnlen(path, kPathBufferSize));
    bool helper = plugin && !(offThread && offThread->anyThreadOnly);
    if (!helper || !LoadThroughHelper(path, loaders, spare, rule, offThread, imageSize, &report, &picture)) {
        if (!helper || !offThread)
            picture = LoadImageFileHere(path, loaders, spare, rule, imageSize, offThread, &report);
    }
    if (!picture)
        ReportLoadFailure(path, report);
    return picture;
}
