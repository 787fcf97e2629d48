// What a decoding call hands over: the bottom-up DIB of GetPicture's two
// blocks, 24-bit (or 32-bit with straight alpha where the caller asked for
// transparency so), with the picture's pixels placed upright in it as its
// orientation says, whichever decoder read them.
#pragma once

#include <windows.h>

#include <cstddef>

// The blocks GetPicture hands over, the bits block locked.
struct DibBlocks {
    HLOCAL info;
    HLOCAL bits;
    BYTE* pixels;
    UINT stride;
};

// The blocks for a width x height picture of 24 or 32 bits a pixel; false,
// with nothing allocated, when they cannot be had. `white` fills them first,
// for a decoder that may leave pixels unwritten.
bool AllocateDib(UINT width, UINT height, bool white, DibBlocks* blocks, WORD bitCount = 24);

// Hands both blocks to the caller on success; frees them otherwise.
int HandOver(DibBlocks* blocks, int result, HLOCAL* info, HLOCAL* bits);

// Where shown row Y of a picture goes: base + step * (Y - firstRow), B,G,R.
struct ShownRows {
    BYTE* base;
    ptrdiff_t step;
    ptrdiff_t firstRow;
};

inline BYTE* RowAt(const ShownRows& rows, UINT y)
{
    return rows.base + rows.step * (static_cast<ptrdiff_t>(y) - rows.firstRow);
}

// The rows of a DIB of `height` rows, shown row 0 being its top.
ShownRows RowsOf(const DibBlocks& blocks, UINT height);

// Where the stored pixel (x, y) of a width x height picture is shown, for
// each Exif orientation: 2-4 mirror or turn it half round, 5-8 turn it a
// quarter, so the shown picture is height x width.
void Place(int orientation, UINT x, UINT y, UINT width, UINT height, UINT* shownX, UINT* shownY);

// Puts `count` stored pixels of `bytes` each (B,G,R, or B,G,R,A) from
// stored (x0, y) on where `orientation` shows them.
void PlaceStored(int orientation, UINT x0, UINT count, UINT y, UINT width, UINT height, const ShownRows& target,
                 const BYTE* pixels, UINT bytes = 3);
