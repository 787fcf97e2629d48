// What ifsyscodec learns of a picture from its container's headers alone,
// before any decoder of the platform runs.
#pragma once

#include <windows.h>

#include "common/owners.h"

// The most pixels a picture may have: its 24-bit DIB is then at most 768 MB,
// which a 32-bit host can still hold beside itself, and the platform's
// decoders are never started on a picture that could not be delivered.
const unsigned long long kMaxPixels = 1ULL << 28;

// The most bytes an embedded colour profile may have; real ones have a few
// kilobytes, rarely a few hundred.
const size_t kMaxProfileBytes = 4u << 20;

struct HeaderFacts {
    int sizeCheck;    // SPI_SUCCESS, or SPI_NO_MEMORY: more than kMaxPixels declared
    int orientation;  // Exif/TIFF orientation 1-8; 1 (upright) where none is stated
    bool jpeg;         // the picture starts as a JPEG does
    bool webp;         // a RIFF WEBP file
    bool profileRead;  // a JPEG, TIFF or WebP: its profile, if any, is in `profile`
    HeapArray<BYTE> profile;  // joined from a JPEG's APP2 pieces, a TIFF's tag 34675 or a WebP's ICCP
    unsigned long long width, height;  // as the headers declare them, stored; 0 where they do not
};

// Reads the headers of the picture given as GetPicture's arguments are (a
// file name and offset, or memory and its size). Nothing is read past the
// end of either; a format not known here gives success and orientation 1.
// With `wantProfile`, a JPEG's, TIFF's or WebP's embedded profile is read too, at
// most kMaxProfileBytes: of a JPEG, all its pieces, numbered 1..n once
// each, or none.
HeaderFacts ReadHeaderFacts(LPCSTR buffer, LONG_PTR length, unsigned flag, bool wantProfile = false);
