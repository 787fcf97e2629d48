// WebP through libwebp: lossy and lossless, with alpha or without, and an
// animation's first frame as its canvas shows it. A still picture shown
// smaller than it is decodes straight to the held size with libwebp's own
// scaling; an animation's canvas is decoded whole and then reduced. All of
// it on the caller's thread: libwebp is built without threads.
#pragma once

#include <windows.h>

#include "decode_request.h"

// The most bytes a WebP file may have: it is read whole before decoding.
const unsigned long long kWebpMostFileBytes = 256ULL << 20;

// Decodes the WebP into GetPicture's blocks: an SPI_* result, with the
// blocks handed over on success and nothing allocated otherwise. A cut or
// broken file is SPI_BROKEN_DATA.
int DecodeWebp(const DecodeRequest& request, HLOCAL* info, HLOCAL* bits);
