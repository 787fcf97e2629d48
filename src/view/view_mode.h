// View modes: the size at which the current picture is shown.
#pragma once

#include <windows.h>

#include "resource.h"
#include "chip/chip_state.h"

inline bool IsViewMode(int id)
{
    return id >= IDM_ZOOM25 && id <= IDM_FIT_ASPECT;
}

struct DisplaySize {
    int width;
    int height;
};

// The largest size of the image's aspect ratio inside the client area, in
// millionths of a scale, each side rounded up. A zero image gives 0 x 0.
DisplaySize FitAspect(int clientWidth, int clientHeight, int imageWidth, int imageHeight);

// Sets the display size for mode id and makes it the chip's mode. Returns 3
// when a zoom factor was newly chosen, 1 for a newly chosen fit mode, 0 when
// id already was the mode (or is not a view mode).
int ApplyViewMode(ChipState* state, HWND window, int id);

// Loads the picture at imageIndex again and fits the mode to it.
void ReloadCurrentImage(ChipState* state, HWND window, const char* text);

// Loads the picture at imageIndex into the chip in place of the one it has;
// false (and 160 x 90) when it cannot be shown.
bool LoadCurrentPicture(ChipState* state, const char* text);

// The size the chip wants, through size[0] and size[1] (when given). A
// pending reload is done first, so the host learns the new picture's size.
void DefaultSize(ChipState* state, HWND window, int* size, const char* text);

// The chip window changed size: only the fit modes follow it. Returns 0 when
// the stretched fit was resized, else 1.
int FollowClientSize(ChipState* state, HWND window);
