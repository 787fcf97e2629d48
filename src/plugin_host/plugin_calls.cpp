#include "plugin_host/plugin_calls.h"

#include <cstring>

#include "chip/path_list.h"
#include "common/owners.h"
#include "plugin_host/plugin_guard.h"

template <typename Function>
static Function PluginFunction(const LoaderEntry* entry, const char* name)
{
    if (!entry->module || entry->faulted)
        return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(entry->module, name)));
}

static PluginCallObserver g_observer;
static SusieProgress g_progress;

void SetPluginProgress(SusieProgress progress)
{
    g_progress = progress;
}

void SetPluginCallObserver(PluginCallObserver observer)
{
    g_observer = observer;
}

// Calls one of the entry's functions under the guard. A plug-in that faults
// is disabled here, on whichever thread, and the call gives `failure`.
template <typename Function, typename... Args>
static int CallPlugin(LoaderList loaders, const LoaderEntry* entry, int failure, Function function, Args... args)
{
    DWORD faulted = 0;
    if (g_observer)
        g_observer(entry->module, true);
    int result = GuardedCall(failure, &faulted, function, args...);
    if (g_observer)
        g_observer(entry->module, false);
    if (faulted)
        DisablePlugin(loaders, entry->module, faulted);
    return result;
}

static void ReadProbe(HANDLE file, LONG offset, BYTE (&buffer)[kSusieProbeSize])
{
    memset(buffer, 0, sizeof(buffer));
    if (SetFilePointer(file, offset, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return;
    DWORD read = 0;
    if (!ReadFile(file, buffer, sizeof(buffer), &read, nullptr))
        memset(buffer, 0, sizeof(buffer));
}

bool ReadProbes(const char* path, ProbeData* probe)
{
    Handle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr));
    if (!file.Valid())
        return false;
    ReadProbe(file.handle, 0, probe->atZero);
    ReadProbe(file.handle, 128, probe->at128);
    return true;
}

// Whether the plug-in takes the data at either offset (*offset says which).
// Each call gets its own copy of the probe: the interface does not promise
// the buffer is left alone. A plug-in that faults says no.
static bool Accepts(LoaderList loaders, const LoaderEntry* entry, SusieIsSupported isSupported, const char* path,
                    const ProbeData& probe, LONG_PTR* offset)
{
    BYTE copy[kSusieProbeSize];
    memcpy(copy, probe.atZero, sizeof(copy));
    if (CallPlugin(loaders, entry, 0, isSupported, path, static_cast<void*>(copy))) {
        *offset = 0;
        return true;
    }
    if (entry->faulted)
        return false;
    memcpy(copy, probe.at128, sizeof(copy));
    if (CallPlugin(loaders, entry, 0, isSupported, path, static_cast<void*>(copy))) {
        *offset = 128;
        return true;
    }
    return false;
}

const LoaderEntry* FindDecoder(const char* path, const ProbeData& probe, LoaderList loaders,
                               const LoaderEntry* first, bool anyThreadOnly, LONG_PTR* offset)
{
    for (const LoaderEntry* entry = first; entry; entry = entry->next) {
        SusieIsSupported isSupported = PluginFunction<SusieIsSupported>(entry, "IsSupported");
        if (!isSupported)
            continue;
        if (anyThreadOnly && !entry->anyThread)
            return nullptr;
        if (Accepts(loaders, entry, isSupported, path, probe, offset))
            return entry;
    }
    return nullptr;
}

const LoaderEntry* EntryForAnyThread(const char* path, LoaderList loaders)
{
    size_t length = path ? strnlen(path, kPathBufferSize) : 0;
    if (!loaders || length == 0 || length >= kPathBufferSize)
        return nullptr;
    if (HasBitmapSuffix(path, length))
        return loaders;
    HeapArray<ProbeData> probe;  // read only when a plug-in is to be asked here
    for (const LoaderEntry* entry = loaders->next; entry; entry = entry->next) {
        SusieIsSupported isSupported = PluginFunction<SusieIsSupported>(entry, "IsSupported");
        if (!isSupported)
            continue;
        if (entry->anyThread)
            return entry;
        if (probe.Empty() && (!probe.Allocate(1, false) || !ReadProbes(path, probe.items)))
            return nullptr;
        LONG_PTR offset;
        if (Accepts(loaders, entry, isSupported, path, *probe.items, &offset))
            return nullptr;  // it takes the file, and may not run anywhere else
    }
    return nullptr;
}

PluginBlocks::~PluginBlocks()
{
    if (info)
        LocalFree(info);
    if (bits && bits != info)
        LocalFree(bits);
}

// A successful call hands both blocks to us; any other leaves them with the
// plug-in. Plug-ins that allocate and then fail leak those blocks.
static int TakeBlocks(int result, HLOCAL info, HLOCAL bits, PluginBlocks* blocks)
{
    if (result != SPI_SUCCESS)
        return result;
    blocks->info = info;
    blocks->bits = bits;
    return info && bits ? SPI_SUCCESS : SPI_MEMORY_ERROR;
}

int DecodeWithPlugin(LoaderList loaders, const LoaderEntry* entry, const char* path, LONG_PTR offset,
                     PluginBlocks* blocks)
{
    SusieGetPicture getPicture = PluginFunction<SusieGetPicture>(entry, "GetPicture");
    if (!getPicture)
        return SPI_NOT_IMPLEMENTED;
    HLOCAL info = nullptr, bits = nullptr;
    int result = CallPlugin(loaders, entry, SPI_INTERNAL_ERROR, getPicture, path, offset, unsigned(SPI_INPUT_FILE),
                            &info, &bits, g_progress, LONG_PTR(0));
    return TakeBlocks(result, info, bits, blocks);
}

int DecodeReducedWithPlugin(LoaderList loaders, const LoaderEntry* entry, const char* path, LONG_PTR offset,
                            ReducedSize sizeFor, LONG_PTR context, PluginBlocks* blocks)
{
    ReducedGetPicture getReduced = PluginFunction<ReducedGetPicture>(entry, kReducedGetPictureName);
    if (!getReduced)
        return SPI_NOT_IMPLEMENTED;
    HLOCAL info = nullptr, bits = nullptr;
    int result = CallPlugin(loaders, entry, SPI_INTERNAL_ERROR, getReduced, path, offset,
                            unsigned(SPI_INPUT_FILE | kSpiStraightAlpha), sizeFor, context, &info, &bits,
                            g_progress, LONG_PTR(0));
    return TakeBlocks(result, info, bits, blocks);
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
