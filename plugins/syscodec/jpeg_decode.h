// JPEG through libjpeg-turbo, at the scale the caller holds: a photo shown
// small is decoded small (libjpeg-turbo's M/8 scaling), its rows streamed
// into the area average, so that it is never held whole. Every form
// libjpeg-turbo reads (baseline, extended, progressive, arithmetic; grey,
// YCbCr at any subsampling, RGB, CMYK, YCCK) comes out as the platform's
// own decoder gives it: CMYK converted as the imaging component converts
// it, inverted where an Adobe marker says so.
#pragma once

#include <windows.h>

#include "decode_request.h"

// What the JPEG calls return where the platform's decoder is to have the
// file instead: libjpeg-turbo does not read its kind (lossless, 12-bit,
// markers of later extensions, colour spaces it has no conversion for).
const int kJpegToPlatform = -100;

// The most memory the decoder may use for one picture: what a progressive
// or multi-scan picture keeps of its coefficients counts against it (3
// bytes a pixel at 4:2:0, 6 at 4:4:4), so a hostile file that declares a
// huge progressive picture fails cleanly before a 32-bit host runs short.
// A 48 MP 4:2:0 progressive photo needs 144 MB.
const long kJpegMemoryLimit = 256L << 20;

// Scans beyond this are refused: each scan of a progressive picture walks
// all its coefficients, and a real photo has a dozen.
const int kJpegMostScans = 500;

// Decodes the JPEG into GetPicture's blocks: an SPI_* result, with the
// blocks handed over on success and nothing allocated otherwise; or
// kJpegToPlatform.
int DecodeJpeg(const DecodeRequest& request, HLOCAL* info, HLOCAL* bits);

// The picture's stored size and density from its headers alone, nothing
// decoded: an SPI_* result, or kJpegToPlatform.
struct JpegHeader {
    UINT width, height;
    double dpiX, dpiY;
};
int ReadJpegHeader(LPCSTR buffer, LONG_PTR length, unsigned flag, JpegHeader* header);
