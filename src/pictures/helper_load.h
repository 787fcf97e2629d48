// Loading a picture through the plug-in helper: a process of ours beside the
// library that runs the Susie plug-ins, so that one that hangs, ends its
// process or corrupts its heap takes only the helper down, never the host.
#pragma once

#include <windows.h>

#include "pictures/image_file.h"

// The picture as LoadImageFile gives it, decoded by the helper, in
// *picture (null, with *report saying why, when it gave none). False when no
// helper can be had (its file is missing, a process cannot be started, or
// OVILUNE_PLUGIN_HELPER=0): the caller then loads it in this process. A
// helper that does not answer within the time limit is ended, as is one
// that ended by itself: the plug-in it was in is disabled, the load fails,
// and the next load starts a helper afresh.
// Loads of the host's thread (offThread null) and of the read-ahead's each
// have a helper of their own; a read-ahead's held copy is bounded by
// offThread->mostBytes, and any plug-in may make it there.
bool LoadThroughHelper(const char* path, LoaderList loaders, HBITMAP spare, const HeldRule* rule,
                       const OffThreadLoad* offThread, DisplaySize* imageSize, LoadReport* report,
                       HBITMAP* picture);

// Whether plug-ins' pictures are decoded in a helper, as far as is known
// before one is started: false once one could not be had.
bool PluginHelperMayRun(LoaderList loaders);

// Ends the helpers, when the library is unloaded.
void ReleasePluginHelper();
