// Photos in their true colours: an embedded ICC profile's colours converted
// to sRGB, what the screen shows.
#pragma once

#include <windows.h>

#include "common/owners.h"

// Whether the profile is one to convert from: a well-formed RGB profile
// (its declared size within the bytes, which are cut to it) that is not
// sRGB itself. Anything else shows the picture's numbers as they are.
bool ShouldConvert(HeapArray<BYTE>* profile);

// The conversion from one profile to sRGB (perceptual intent), sampled
// once on a grid by the system's colour management and interpolated from
// there: the system's own per-pixel conversion costs several times a
// photo's decoding.
const unsigned kCacheBits = 16;

struct SrgbTable {
    HeapArray<BYTE> grid;  // B, G, R for each grid point, red slowest
    // The colours met last, by a hash of the colour: photos repeat theirs.
    HeapArray<DWORD> cacheKeys;
    HeapArray<DWORD> cacheValues;
};

// False where the system refuses the profile, or the table's memory (about
// 0.6 MB) cannot be had: the picture then shows as it is stored.
bool BuildSrgbTable(const HeapArray<BYTE>& profile, SrgbTable* table);

// Converts `width` pixels of B, G, R bytes in place, `step` bytes apart (4
// where an alpha byte follows each, which stays as it is).
void ConvertRow(SrgbTable& table, BYTE* pixels, unsigned width, unsigned step = 3);

// Colours converted beside a decoder. The decoder says which rows it has
// made; a worker of the process's thread pool converts them while the
// decoder goes on, with a cache of its own, and whatever the worker has not
// taken when the decoder is done is converted on the caller's thread. The
// caller never waits for the worker to start (a new worker waits for the
// loader lock, which a host may hold around the call), only for rows the
// worker has taken.
struct ConversionPipe;

// A pipe for `height` rows of `width` pixels, `pixelStep` bytes apart, row y
// at base + rowStep * y; null for a picture under a megapixel, on one
// processor, or where the memory or the worker cannot be had: the caller
// then converts each row itself.
ConversionPipe* StartConversion(SrgbTable* table, BYTE* base, ptrdiff_t rowStep, unsigned width, unsigned height,
                                unsigned pixelStep = 3);

// Rows 0 .. ready - 1 are made.
void RowsReady(ConversionPipe* pipe, unsigned ready);

// With `convertRest` every row is converted when this returns; without it,
// rows not converted yet stay as they are (a decode that failed). Either way
// no thread touches the rows any more, and the pipe is gone.
void FinishConversion(ConversionPipe* pipe, bool convertRest);

// Every row of a picture already made, through a pipe where one can be had.
void ConvertRows(SrgbTable& table, BYTE* base, ptrdiff_t rowStep, unsigned width, unsigned height,
                 unsigned pixelStep = 3);
