// How large a picture is shown in each view mode, and how much of it a chip
// holds to show it that way.
#pragma once

#include <windows.h>

#include "resource.h"

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

// The size the picture is shown at in view mode `mode` (which must be one).
DisplaySize ShownSize(int mode, int clientWidth, int clientHeight, int imageWidth, int imageHeight);

// The size of the copy a chip holds of an imageWidth x imageHeight picture
// shown in `mode`: the picture itself at 100 % and above; the shown size at
// 25 % and 50 %, which never change with the chip; twice the shown size in
// the fit modes, so that the chip can grow to twice its size before the
// picture is read again, and a first painting reduces by exactly 2 (the
// picture's area average exactly where the copy is the whole picture;
// within a level where the copy, rounded to 8 bits, was itself reduced).
// Never more than the picture, never less than 1 x 1. A fit into an empty
// client (no window yet) holds the picture: how much is needed is not known
// until it is shown.
DisplaySize HeldSize(int mode, int clientWidth, int clientHeight, int imageWidth, int imageHeight);

// The same for a picture shown at `shown`, whatever the client.
DisplaySize HeldForShown(int mode, DisplaySize shown, int imageWidth, int imageHeight);

// Whether a held copy of heldWidth x heldHeight shows the picture in `mode`
// at shownWidth x shownHeight without losing detail it would show: it has at
// least the shown size in each direction, or all the picture has there.
bool HeldCopySuffices(int mode, int heldWidth, int heldHeight, DisplaySize shown, int imageWidth, int imageHeight);

// The chip window's client rectangle; empty for a window without one (none
// yet, or destroyed), which fits the fit modes to 0 x 0.
RECT ChipClientRect(HWND window);
