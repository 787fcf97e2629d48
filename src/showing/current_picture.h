// The chip's current picture: loading it as the view mode holds it, loading
// it again, and the size it is shown at.
#pragma once

#include <windows.h>

#include "chip/chip_state.h"
#include "plugin_host/loader_registry.h"

// Sets the display size the view mode `mode` gives the current picture in
// the window (whose client fits the fit modes; none fits them to 0 x 0).
void SetShownSize(ChipState* state, HWND window, int mode);

// Loads the picture at imageIndex into the chip in place of the one it has,
// held as view mode `mode` shows it in the window; false (and 160 x 90)
// when it cannot be shown.
bool LoadCurrentPicture(ChipState* state, HWND window, const char* text, int mode, LoaderList loaders);

// Loads the picture at imageIndex again, or takes it where it was read
// ahead, and fits the shown size to it.
void ReloadCurrentImage(ChipState* state, HWND window, const char* text, LoaderList loaders);

// Makes the held copy fit what the chip now shows: the picture is read again
// when the copy has less detail than is shown (a mode or a chip size that
// shows more), and a copy more than twice as large as the mode holds (a
// picture that was whole at 100 %, or loaded before the chip had a size) is
// reduced in place. A chip that shrinks within its copy keeps it.
void FitHeldCopy(ChipState* state, HWND window, const char* text, LoaderList loaders);
