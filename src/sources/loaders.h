// The loader registry (every format we can show) and the one place image
// data is read.
#pragma once

#include <windows.h>

#include "sources/shown_size.h"

// One format: the built-in bitmap entry (module null) or one of a Susie
// plug-in's formats. A module with several formats has consecutive entries.
struct LoaderEntry {
    HMODULE module;
    char* description;
    char* pattern;
    LoaderEntry* next;
    // The plug-in faulted once, on whichever thread: never called again,
    // never unloaded. Set through DisablePlugin alone, read on any thread.
    volatile LONG faulted;
    bool anyThread;  // the plug-in says its decoding may run on any thread
};

typedef LoaderEntry* LoaderList;

// Always starts with the "Bitmap" / "*.bmp" entry, then the plug-ins of the
// registry's folder or of the first folder on PATH that has any. A folder
// too long to search (its "\*.spi" pattern, or a plug-in's full path, would
// pass 259 characters) is not used: for the registry's value that means
// PATH is searched as if the value were absent, for a PATH piece that the
// next piece is tried, and for a single plug-in that it is skipped.
LoaderList BuildLoaderList();

// Frees every entry and unloads each plug-in once. A plug-in that faulted
// stays loaded: its code may still be referenced by whatever it left behind.
void FreeLoaderList(LoaderList head);

// Marks every entry of the plug-in module as faulted.
void DisablePlugin(LoaderList loaders, HMODULE module);

// The entry from which a decoder of the picture at path may be looked for
// off the host's thread, or null where none may: the first plug-in that
// says it may run on any thread, when every plug-in listed before it that
// could be asked has said, asked here on the host's thread, that it does not
// take the file. A bitmap file (read by the platform, not a plug-in) gives
// the list's first entry.
const LoaderEntry* EntryForAnyThread(const char* path, LoaderList loaders);

// How a load off the host's thread is bounded: only plug-ins that may run on
// any thread are called, starting at `first`, and a picture whose held copy
// would pass `mostBytes` is not loaded.
struct OffThreadLoad {
    const LoaderEntry* first;
    unsigned long long mostBytes;
};

// What a chip will show a picture as: its view mode in a client of this
// size, over its background colour, which a picture with transparency is
// composed over as it is loaded.
struct HeldRule {
    int mode;
    int clientWidth;
    int clientHeight;
    COLORREF background;
};

// The picture at path as a bitmap that the caller owns and deletes, or null.
// A plug-in's 32-bit picture whose fourth bytes carry transparency (not all
// 0, which older plug-ins leave in the reserved byte, nor all 255) is
// composed over the rule's background (white without a rule), pixel by
// pixel, before it is held; our own plug-in is asked for such pictures
// with their alpha instead of over white.
// It is held as a 32-bit DIB section, converted once here, so that painting
// never converts it again: whole, or with a rule, at the size HeldSize gives,
// reduced from the decoded rows themselves. *imageSize (when given) receives
// the picture's own size. `spare`, a picture the caller is about to delete
// (or null), is written over and returned when it has the held size; the
// caller deletes it when anything else comes back.
HBITMAP LoadImageFile(const char* path, LoaderList loaders, HBITMAP spare = nullptr, const HeldRule* rule = nullptr,
                      DisplaySize* imageSize = nullptr, const OffThreadLoad* offThread = nullptr);

// Whether a plug-in's BITMAPINFO block and bits block describe each other: the
// header, its colour table and every row of pixels lie inside the blocks.
bool DibFitsBlocks(const BITMAPINFOHEADER* header, SIZE_T infoSize, SIZE_T bitsSize);
