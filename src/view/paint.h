// Painting a chip: the picture at its display size from the top-left corner,
// the background to its right and below, or "load error" without a picture.
#pragma once

#include <windows.h>

#include "chip/chip_state.h"
#include "plugin_host/loader_registry.h"

// Paints the chip into dc (when given). The picture is loaded here when it is
// not cached (after Zoom; a load that failed is not tried again until the
// next reload), when a reload is pending, and when the chip shows more than
// its held copy has.
void PaintChip(ChipState* state, HWND window, HDC dc, const char* text, LoaderList loaders);

// Deletes the picture, the painted copy made from it and any picture read
// ahead, as Zoom and Update's keep-picture flag ask and a chip's end
// requires; never waits for a decode under way.
void ReleasePictures(ChipState* state);
