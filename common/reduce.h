// Area-averaging reduction: every pixel of the smaller picture is the mean of
// the part of the larger one it covers, partly covered pixels counted by how
// much of them it covers. It reads rows where they lie (a plug-in's block, a
// DIB section), so a photo can be reduced without first being copied whole.
#pragma once

#include <windows.h>

#include <cstddef>

// A picture's rows as they lie in memory: 24-bit B,G,R or 32-bit B,G,R,x.
// A picture decoded in bands has only some of its rows at hand: `top` is
// then row firstRow's first byte, and the rows before it are not read.
struct PixelRows {
    const BYTE* top;  // row firstRow's first byte
    ptrdiff_t step;   // from one row to the one below it: negative for bottom-up rows
    int width;
    int height;         // the whole picture's
    int bytesPerPixel;  // 3 or 4
    int firstRow;       // 0 unless the rows come in bands
};

// The rows of a 24- or 32-bit BI_RGB DIB whose bits are at `bits`; false for
// any other form.
bool RowsOfDib(const BITMAPINFOHEADER& header, const void* bits, PixelRows* rows);

// Reduces `source` to outWidth x outHeight (each at most the source's own
// side) and writes the top-left visibleWidth x visibleHeight of it into
// `out`, whose rows lie outStep bytes apart, as outBytes 4 (B,G,R and a
// zero) or 3 (B,G,R) a pixel. With `alpha`, 4-byte pixels to 4-byte pixels,
// the fourth byte is averaged as the others are, where a zero is written
// otherwise: of premultiplied pixels that gives colour weighted by alpha.
// False, with nothing written, when the sizes do not allow it or working
// memory cannot be had.
bool ReduceArea(const PixelRows& source, int outWidth, int outHeight, int visibleWidth, int visibleHeight,
                BYTE* out, ptrdiff_t outStep, int outBytes = 4, bool alpha = false);

// The same for output rows yBegin .. yEnd - 1 only, `out` still being where
// output row 0 lies: a picture decoded in bands is reduced band by band, each
// band holding the source rows SourceRowsOf names.
bool ReduceAreaRows(const PixelRows& source, int outWidth, int outHeight, int visibleWidth, int yBegin, int yEnd,
                    BYTE* out, ptrdiff_t outStep, int outBytes, bool alpha = false);

// Closes the pool whose worker shares large reductions, when the library is
// unloaded (not at process exit).
void ReleaseReductionPool();

// The source rows *first .. *last - 1 that output rows yBegin .. yEnd - 1 of
// a reduction from sourceHeight rows to outHeight read.
void SourceRowsOf(int sourceHeight, int outHeight, int yBegin, int yEnd, int* first, int* last);
