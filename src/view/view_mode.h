// View modes: the size at which the current picture is shown.
#pragma once

#include <windows.h>

#include "chip/chip_state.h"
#include "plugin_host/loader_registry.h"
#include "pictures/shown_size.h"

// Sets the display size for mode id and makes it the chip's mode. Returns 3
// when a zoom factor was newly chosen, 1 for a newly chosen fit mode, 0 when
// id already was the mode (or is not a view mode).
int ApplyViewMode(ChipState* state, HWND window, int id);

// The size the chip wants, through size[0] and size[1] (when given). A
// pending reload is done first, so the host learns the new picture's size.
void DefaultSize(ChipState* state, HWND window, int* size, const char* text, LoaderList loaders);

// The chip window changed size: only the fit modes follow it. Returns 0 when
// the stretched fit was resized, else 1.
int FollowClientSize(ChipState* state, HWND window);
