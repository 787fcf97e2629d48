// View modes: the size at which the current picture is shown, and the copy
// of it the chip holds to show it so.
#pragma once

#include <windows.h>

#include "chip/chip_state.h"
#include "sources/shown_size.h"

// Sets the display size for mode id and makes it the chip's mode. Returns 3
// when a zoom factor was newly chosen, 1 for a newly chosen fit mode, 0 when
// id already was the mode (or is not a view mode).
int ApplyViewMode(ChipState* state, HWND window, int id);

// Loads the picture at imageIndex again and fits the mode to it.
void ReloadCurrentImage(ChipState* state, HWND window, const char* text);

// Loads the picture at imageIndex into the chip in place of the one it has,
// held as its view mode `mode` shows it in the window; false (and 160 x 90)
// when it cannot be shown.
bool LoadCurrentPicture(ChipState* state, HWND window, const char* text, int mode);

// Makes the held copy fit what the chip now shows: the picture is read again
// when the copy has less detail than is shown (a mode or a chip size that
// shows more), and a copy more than twice as large as the mode holds (a
// picture that was whole at 100 %, or loaded before the chip had a size) is
// reduced in place. A chip that shrinks within its copy keeps it.
void FitHeldCopy(ChipState* state, HWND window, const char* text);

// The size the chip wants, through size[0] and size[1] (when given). A
// pending reload is done first, so the host learns the new picture's size.
void DefaultSize(ChipState* state, HWND window, int* size, const char* text);

// The chip window changed size: only the fit modes follow it. Returns 0 when
// the stretched fit was resized, else 1.
int FollowClientSize(ChipState* state, HWND window);
