// A slideshow's next picture, read ahead: when a chip that steps through its
// list in order has shown its picture, the next one is decoded and held as
// the chip's view mode holds it, on a thread of ours, so that the step that
// reaches it only paints. Plug-ins' pictures are decoded by a helper process
// of the read-ahead's own, whatever the plug-in; where no helper can be had,
// only what may run off the host's thread is read ahead (the platform's
// bitmap reading, plug-ins that say they may). One decode at a time, one
// prepared picture a chip, none whose held copy would pass 16 MB.
#pragma once

#include <windows.h>

#include "chip/chip_state.h"
#include "plugin_host/loader_registry.h"

// After the chip showed its picture: prepares the next one in list order,
// when its slideshow runs in that order and the next one may be prepared
// off this thread; lets go of a prepared one it no longer needs.
void PrepareNextPicture(ChipState* state, HWND window, const char* text, LoaderList loaders);

// At the reload of the picture at imageIndex: true when the chip now holds
// the prepared picture, which was made for this place of this text, this
// mode and colour, from the file as it still is, and holds what the chip
// now shows; a decode of it under way is waited for (not a second one
// started). False, with the prepared picture let go, when the caller must
// load it itself.
bool TakePreparedPicture(ChipState* state, HWND window, const char* text);

// Lets go of the chip's prepared picture without waiting: one still being
// decoded is freed by its decode when that ends.
void DropPreparedPicture(ChipState* state);

// Waits until no decode of ours is under way or waiting: for the tests.
void WaitForReadAheadIdle();

// Closes the preparing thread's pool when the library is unloaded: no work
// of it can be running or waiting then, as each holds the library loaded.
void ReleaseReadAheadPool();
