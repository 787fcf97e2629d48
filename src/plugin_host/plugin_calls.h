// Asking Susie plug-ins which of them takes a file, and having it decode:
// every call guarded, a plug-in that faults disabled on the spot, and what
// it hands back checked before anything reads it.
#pragma once

#include <windows.h>

#include "common/susie.h"
#include "plugin_host/loader_registry.h"

// The probe buffers handed to IsSupported: the 2 KB at offsets 0 and 128,
// zero-padded where the file is shorter.
struct ProbeData {
    BYTE atZero[kSusieProbeSize];
    BYTE at128[kSusieProbeSize];
};

// Reads both probes of the file; false when it cannot be opened.
bool ReadProbes(const char* path, ProbeData* probe);

// The first entry, from `first` on, whose plug-in takes the file at offset 0
// or 128 (*offset says which); null when none does. With anyThreadOnly the
// search stops at the first plug-in that may not run off the host's thread.
const LoaderEntry* FindDecoder(const char* path, const ProbeData& probe, LoaderList loaders,
                               const LoaderEntry* first, bool anyThreadOnly, LONG_PTR* offset);

// The entry from which a decoder of the picture at path may be looked for
// off the host's thread, or null where none may: the first plug-in that
// says it may run on any thread, when every plug-in listed before it that
// could be asked has said, asked here on the host's thread, that it does not
// take the file. A bitmap file (read by the platform, not a plug-in) gives
// the list's first entry.
const LoaderEntry* EntryForAnyThread(const char* path, LoaderList loaders);

// The blocks a successful GetPicture hands over: ours, freed when this goes
// (once, where a plug-in hands the same block twice).
struct PluginBlocks {
    PluginBlocks() : info(nullptr), bits(nullptr) {}
    ~PluginBlocks();
    PluginBlocks(const PluginBlocks&) = delete;
    PluginBlocks& operator=(const PluginBlocks&) = delete;
    HLOCAL info;
    HLOCAL bits;
};

// The entry's GetPicture on the file from `offset`. SPI_SUCCESS with both
// blocks ours; any other result leaves *blocks empty: after a failure or a
// fault, whatever the plug-in wrote there is not ours to free (it may hand
// out blocks it still owns). SPI_NOT_IMPLEMENTED where it has no GetPicture.
int DecodeWithPlugin(LoaderList loaders, const LoaderEntry* entry, const char* path, LONG_PTR offset,
                     PluginBlocks* blocks);

// The same through our own plug-in's GetReducedPicture, which asks sizeFor
// for the size it is to decode to, with straight alpha asked for.
// SPI_NOT_IMPLEMENTED, with no call made, where the plug-in lacks it.
int DecodeReducedWithPlugin(LoaderList loaders, const LoaderEntry* entry, const char* path, LONG_PTR offset,
                            ReducedSize sizeFor, LONG_PTR context, PluginBlocks* blocks);

// Whether a plug-in's BITMAPINFO block and bits block describe each other: the
// header, its colour table and every row of pixels lie inside the blocks.
bool DibFitsBlocks(const BITMAPINFOHEADER* header, SIZE_T infoSize, SIZE_T bitsSize);

// Told, on the calling thread, when a call into a plug-in begins (entering)
// and ends: the helper process keeps a record of which plug-in it is in.
typedef void (*PluginCallObserver)(HMODULE module, bool entering);
void SetPluginCallObserver(PluginCallObserver observer);

// The progress callback plug-ins are given in their decoding calls (none
// unless set): the helper process counts their calls, which extend its time.
void SetPluginProgress(SusieProgress progress);
