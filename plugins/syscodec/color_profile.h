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
