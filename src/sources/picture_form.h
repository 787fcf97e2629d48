// The form a picture is held in once loaded: a 32-bit top-down DIB section,
// what every rebuild of a chip's painting copies or stretches from without
// converting it again.
#pragma once

#include <windows.h>

// Each takes a `spare` picture (or null) that the caller is about to delete:
// when it has the new picture's size, it is written over and returned
// instead of a new one, and the caller must then not delete it.

// A 32-bit copy of a DIB given as its header (with colour table) and bits,
// or null. The caller owns it.
HBITMAP PictureFromDib(const BITMAPINFO* info, const void* bits, HBITMAP spare);

// `loaded` itself when it already is a 32-bit DIB section, else a 32-bit copy
// of it, and `loaded` is deleted; null (and `loaded` deleted) when no copy
// can be made.
HBITMAP PictureFromBitmap(HBITMAP loaded, HBITMAP spare);
