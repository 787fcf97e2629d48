// The form a picture is held in once loaded: whole, a 32-bit top-down DIB
// section, what every rebuild of a chip's painting copies or stretches from
// without converting it again; reduced, a 24-bit one, which only our own
// reduction reads.
#pragma once

#include <windows.h>

#include "common/reduce.h"
#include "pictures/shown_size.h"

// Each takes a `spare` picture (or null) that the caller is about to delete:
// when it has the new picture's size, it is written over and returned
// instead of a new one, and the caller must then not delete it. And each
// holds the picture at `held`, reduced from the rows it is given where that
// is smaller than the picture ({0, 0}: the whole picture).

// A 32-bit copy of a DIB given as its header (with colour table) and bits,
// or null. The caller owns it.
HBITMAP PictureFromDib(const BITMAPINFO* info, const void* bits, HBITMAP spare, DisplaySize held);

// A 24-bit DIB that already is the held copy (a plug-in reduced it while
// decoding), held in the reduced form as it is, or null.
HBITMAP PictureFromReducedDib(const BITMAPINFO* info, const void* bits, HBITMAP spare);

// `loaded` itself when it already is a 32-bit DIB section of the held size,
// else a 32-bit copy of it, and `loaded` is deleted; null (and `loaded`
// deleted) when no copy can be made.
HBITMAP PictureFromBitmap(HBITMAP loaded, HBITMAP spare, DisplaySize held);

// A copy of the 32-bit picture reduced to `held`, or null; the picture
// itself is left as it is.
HBITMAP ReducedCopy(HBITMAP picture, DisplaySize held);

// Composes a 32-bit BI_RGB DIB's pixels over `background` in place where its
// fourth bytes are straight alpha that carries transparency (not all 0 nor
// all 255): each becomes colour x alpha + background x (1 - alpha), its
// fourth byte 0. False, with nothing changed, for any other DIB. Composing
// over one colour commutes with the area average, so reductions of the
// composed picture are those of the transparent one, colour weighted by
// alpha.
bool ComposeTransparency(const BITMAPINFOHEADER& header, void* bits, COLORREF background);

// A new top-down DIB section (32 bits a pixel unless told) and where its
// pixels lie, or null.
HBITMAP NewTopDownPicture(int width, int height, BYTE** pixels, int bitCount = 32);

// Where new pictures' pixels are kept: in this process's own memory, or,
// once a maker is set, in a section it makes for their size (the plug-in
// helper hands its pictures to the library that way, without a copy). The
// platform never closes such a section: whoever set the maker closes it
// when the picture goes, finding it through the picture's DIBSECTION.
typedef HANDLE (*PictureSectionMaker)(unsigned long long bytes);
void SetPictureSectionMaker(PictureSectionMaker maker);

// The rows of a 24- or 32-bit DIB section (either row order), or false.
bool PictureRows(HBITMAP section, PixelRows* rows);
