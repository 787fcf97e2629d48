// The chip's client area as last painted, kept so that a repaint in any view
// mode costs one 1:1 copy instead of a halftone stretch.
#pragma once

#include <windows.h>

#include "chip/chip_state.h"

// What a painted copy was made from; it is reused only for the same.
struct RenderKey {
    unsigned pictureSerial;
    int viewMode;
    int displayWidth;
    int displayHeight;
    int clientWidth;
    int clientHeight;
    COLORREF background;
    int dcFormat;
};

struct RenderCache {
    HDC dc;            // a memory DC holding `bitmap`, kept between paints
    HGDIOBJ previous;  // what `dc` held before
    HBITMAP bitmap;    // compatible with the painting DC
    BYTE* pixels;      // its pixels, top row first, when it is a 32-bit DIB section
    int width;         // the bitmap's size: the client's, or up to a little
    int height;        // more, so that resizing by a few pixels allocates nothing
    bool valid;        // `bitmap` holds the rendering of `key`
    RenderKey key;
};

// The chip's copy, or null before its first paint.
inline RenderCache* ExistingRenderCache(const ChipState* state)
{
    return static_cast<RenderCache*>(state->render);
}

// The chip's copy, made empty at its first use; null without memory.
RenderCache* RenderCacheOf(ChipState* state);

// Frees the copy and its DC; the record stays, empty.
void EmptyRenderCache(RenderCache* cache);

// Frees the chip's copy, its DC and the record holding them.
void ReleaseRenderCache(ChipState* state);
