// Photos in their true colours: an embedded ICC profile's colours converted
// to sRGB, what the screen shows.
#pragma once

#include <windows.h>

#include <vector>

// Whether the profile is one to convert from: a well-formed RGB profile
// (its declared size within the bytes, which are cut to it) that is not
// sRGB itself. Anything else shows the picture's numbers as they are.
bool ShouldConvert(std::vector<BYTE>* profile);

// The conversion from one profile to sRGB (perceptual intent), sampled
// once on a grid by the system's colour management and interpolated from
// there: the system's own per-pixel conversion costs several times a
// photo's decoding.
const unsigned kCacheBits = 16;

struct SrgbTable {
    std::vector<BYTE> grid;  // B, G, R for each grid point, red slowest
    // The colours met last, by a hash of the colour: photos repeat theirs.
    std::vector<DWORD> cacheKeys;
    std::vector<DWORD> cacheValues;
};

// False where the system refuses the profile.
bool BuildSrgbTable(const std::vector<BYTE>& profile, SrgbTable* table);

// Converts `width` pixels of B, G, R bytes in place, `step` bytes apart (4
// where an alpha byte follows each, which stays as it is).
void ConvertRow(SrgbTable& table, BYTE* pixels, unsigned width, unsigned step = 3);
