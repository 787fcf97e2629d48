// Painting a chip: the picture at its display size from the top-left corner,
// the background to its right and below, or "load error" without a picture.
#pragma once

#include <windows.h>

#include "surface/chip_state.h"

// Paints the picture exactly as laid out, straight into dc. Painting normally
// goes through the render cache; this is what fills the cache, and what is
// used when the cache cannot be made.
void PaintPictureDirect(const ChipState* state, HDC dc, int clientWidth, int clientHeight);
