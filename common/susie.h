// The Susie plug-in interface, as both sides of it see it: the library calls
// these functions, and the plug-ins the project builds export them. Plug-in
// functions are __stdcall (WINAPI); the pointer-sized arguments are 32 bits
// in the classic 32-bit interface and pointer-wide in its 64-bit form.
#pragma once

#include <windows.h>

// Results of GetPicture and GetPictureInfo.
enum SusieResult {
    SPI_SUCCESS = 0,
    SPI_NOT_IMPLEMENTED = -1,
    SPI_ABORTED = 1,         // the progress callback asked to stop
    SPI_UNKNOWN_FORMAT = 2,
    SPI_BROKEN_DATA = 3,
    SPI_NO_MEMORY = 4,
    SPI_MEMORY_ERROR = 5,
    SPI_FILE_READ_ERROR = 6,
    SPI_INTERNAL_ERROR = 8,
};

// Low bits of GetPicture's flag: where the picture comes from.
enum SusieInput {
    SPI_INPUT_FILE = 0,      // buf is a file name, len the offset in it
    SPI_INPUT_MEMORY = 1,    // buf is the image in memory, len its size
};

// Bytes IsSupported may be given in its buffer form.
const DWORD kSusieProbeSize = 2048;

typedef int (WINAPI *SusieProgress)(int done, int total, LONG_PTR data);

typedef int (WINAPI *SusieGetPluginInfo)(int infono, LPSTR buffer, int length);
// `probe` is a file handle or, in the form this library uses, a pointer to
// the first kSusieProbeSize bytes of the file (zero-padded).
typedef int (WINAPI *SusieIsSupported)(LPCSTR name, void* probe);
typedef int (WINAPI *SusieGetPicture)(LPCSTR buffer, LONG_PTR length, unsigned flag,
                                      HLOCAL* info, HLOCAL* bits,
                                      SusieProgress progress, LONG_PTR data);

// Packed in both forms; the 64-bit form keeps its handle 8-byte aligned with
// two bytes of padding, so hosts read it at offset 24 there and at 22 on i386.
#pragma pack(push, 1)
struct SusiePictureInfo {
    long left;
    long top;
    long width;
    long height;
    WORD xDensity;
    WORD yDensity;
    short colorDepth;
#ifdef _WIN64
    char padding[2];
#endif
    HLOCAL textInfo;
};
#pragma pack(pop)

typedef int (WINAPI *SusieGetPictureInfo)(LPCSTR buffer, LONG_PTR length, unsigned flag,
                                          SusiePictureInfo* info);

// Not part of the interface: our own plug-in also decodes straight to a
// smaller size, so that the picture is never held whole. Once it knows the
// picture's size (as GetPictureInfo gives it), it asks `sizeFor` for the size
// wanted: at least the picture's own in both directions gives the picture as
// GetPicture does; smaller (each side at least 1) gives its area average, a
// 24-bit bottom-up DIB of exactly that size, in the same blocks.
typedef void (WINAPI *ReducedSize)(long width, long height, long* wantedWidth, long* wantedHeight,
                                   LONG_PTR context);
typedef int (WINAPI *ReducedGetPicture)(LPCSTR buffer, LONG_PTR length, unsigned flag, ReducedSize sizeFor,
                                        LONG_PTR context, HLOCAL* info, HLOCAL* bits, SusieProgress progress,
                                        LONG_PTR data);
const char kReducedGetPictureName[] = "GetReducedPicture";

// In GetReducedPicture's flag, beside the input's kind: a picture with
// transparency comes as a 32-bit DIB whose fourth byte is its straight
// (unpremultiplied) alpha, for the caller to compose over a colour of its
// own, where it would otherwise come composed over white. A picture without
// transparency may come either way; a plug-in that does not know the bit
// ignores it.
const unsigned kSpiStraightAlpha = 0x100;

// Not part of the interface: a plug-in that exports a function of this name
// says that its decoding calls (IsSupported, GetPictureInfo, GetPicture,
// GetReducedPicture) may run on any thread, several at once. Ours does; the
// export is never called (it returns 1). Other plug-ins are called on the
// host's thread alone.
const char kAnyThreadExportName[] = "DecodesOnAnyThread";
typedef int (WINAPI *SusieDecodesOnAnyThread)();
