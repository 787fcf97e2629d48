// Reading a picture file into the form a chip holds it in: bitmap files by
// the platform, everything else by the first plug-in that takes it.
#pragma once

#include <windows.h>

#include "pictures/load_report.h"
#include "pictures/shown_size.h"
#include "plugin_host/loader_registry.h"

// How a load off the host's thread is bounded: a picture whose held copy
// would pass `mostBytes` is not loaded. In this process (`anyThreadOnly`)
// only plug-ins that may run on any thread are called, starting at `first`;
// otherwise the read-ahead's helper decodes it, with any plug-in, and none
// is called here if no helper can be had.
struct OffThreadLoad {
    const LoaderEntry* first;
    unsigned long long mostBytes;
    bool anyThreadOnly;
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
// (or null), is written over and returned when it has the held size; the
// caller deletes it when anything else comes back.
HBITMAP LoadImageFile(const char* path, LoaderList loaders, HBITMAP spare = nullptr, const HeldRule* rule = nullptr,
                      DisplaySize* imageSize = nullptr, const OffThreadLoad* offThread = nullptr);

// The same, in this process whatever the helper could do, and saying why
// it gave no picture in *report rather than in a debug line.
HBITMAP LoadImageFileHere(const char* path, LoaderList loaders, HBITMAP spare, const HeldRule* rule,
                          DisplaySize* imageSize, const OffThreadLoad* offThread, LoadReport* report);
