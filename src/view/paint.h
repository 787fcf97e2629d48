// Painting a chip: the picture at its display size from the top-left corner,
// the background to its right and below, or "load error" without a picture.
#pragma once

#include <windows.h>

#include "chip/chip_state.h"

// Paints the chip into dc (when given). The picture is loaded here when it is
// not cached (after Zoom, or a failed load) and when a reload is pending.
void PaintChip(ChipState* state, HWND window, HDC dc, const char* text);

// Paints the picture exactly as laid out, straight into dc. Painting normally
// goes through the render cache; this is what fills the cache, and what is
// used when the cache cannot be made.
void PaintPictureDirect(const ChipState* state, HDC dc, int clientWidth, int clientHeight);
