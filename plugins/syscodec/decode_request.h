// What a decoding call of ifsyscodec asks of the decoder that reads its
// picture (libjpeg-turbo, libwebp): the picture as GetPicture's first three
// arguments give it, and what to do to it.
#pragma once

#include <windows.h>

#include "color_profile.h"
#include "common/susie.h"

// `orientation` 1-8, and where colours are to be converted, the table (else
// null). With `sizeFor`, the caller is asked for the size once the picture's
// own is known, as GetReducedPicture does.
struct DecodeRequest {
    LPCSTR buffer;
    LONG_PTR length;
    unsigned flag;
    int orientation;
    SrgbTable* table;
    ReducedSize sizeFor;
    LONG_PTR context;
    SusieProgress progress;
    LONG_PTR data;
};
