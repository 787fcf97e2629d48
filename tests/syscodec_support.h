// What the tests of ifsyscodec.spi share: the plug-in loaded as a Susie
// host loads it, its decodes read back, and JPEG files given an Exif
// orientation or an embedded profile.
#pragma once

#include <doctest.h>

#include <windows.h>

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "hostkit.h"
#include "common/susie.h"

struct SysCodec {
    SysCodec()
    {
        std::string path = DxlPath();
        path = path.substr(0, path.find_last_of('\\')) + "\\plugins\\ifsyscodec.spi";
        module = LoadLibraryA(path.c_str());
        getInfo = reinterpret_cast<SusieGetPluginInfo>(reinterpret_cast<void*>(GetProcAddress(module, "GetPluginInfo")));
        isSupported = reinterpret_cast<SusieIsSupported>(reinterpret_cast<void*>(GetProcAddress(module, "IsSupported")));
        getPicture = reinterpret_cast<SusieGetPicture>(reinterpret_cast<void*>(GetProcAddress(module, "GetPicture")));
        getPictureInfo = reinterpret_cast<SusieGetPictureInfo>(reinterpret_cast<void*>(GetProcAddress(module, "GetPictureInfo")));
        getReduced = reinterpret_cast<ReducedGetPicture>(
            reinterpret_cast<void*>(GetProcAddress(module, kReducedGetPictureName)));
    }
    ~SysCodec()
    {
        if (module)
            FreeLibrary(module);
    }
    HMODULE module;
    SusieGetPluginInfo getInfo;
    SusieIsSupported isSupported;
    SusieGetPicture getPicture;
    SusieGetPictureInfo getPictureInfo;
    ReducedGetPicture getReduced;  // ours, beside the interface
};

struct Decoded {
    int result;
    int width, height, bitCount;
    std::vector<BYTE> bits;
    int stride;
    COLORREF Pixel(int x, int y) const  // y from the top
    {
        const BYTE* p = &bits[(height - 1 - y) * stride + x * (bitCount == 32 ? 4 : 3)];
        return RGB(p[2], p[1], p[0]);
    }
};

// What a successful call handed over, read and freed: its size, bit count
// and rows as they lie (bottom-up).
inline Decoded TakeBlocks(int result, HLOCAL info, HLOCAL bits)
{
    Decoded d = {};
    d.result = result;
    if (result != SPI_SUCCESS) {
        CHECK(info == nullptr);
        CHECK(bits == nullptr);
        return d;
    }
    const BITMAPINFOHEADER* h = static_cast<const BITMAPINFOHEADER*>(LocalLock(info));
    d.width = h->biWidth;
    d.height = h->biHeight;
    d.bitCount = h->biBitCount;
    d.stride = (d.width * (d.bitCount / 8) + 3) & ~3;
    const BYTE* b = static_cast<const BYTE*>(LocalLock(bits));
    CHECK(LocalSize(bits) >= static_cast<SIZE_T>(d.stride) * d.height);
    d.bits.assign(b, b + static_cast<size_t>(d.stride) * d.height);
    LocalUnlock(bits);
    LocalUnlock(info);
    LocalFree(info);
    LocalFree(bits);
    return d;
}

inline Decoded Decode(const SysCodec& codec, const std::string& path, LONG_PTR offset = 0,
                      SusieProgress progress = nullptr, LONG_PTR data = 0)
{
    HLOCAL info = nullptr, bits = nullptr;
    int result = codec.getPicture(path.c_str(), offset, SPI_INPUT_FILE, &info, &bits, progress, data);
    return TakeBlocks(result, info, bits);
}

inline bool Near(COLORREF a, COLORREF b, int tolerance)
{
    return abs(GetRValue(a) - GetRValue(b)) <= tolerance && abs(GetGValue(a) - GetGValue(b)) <= tolerance
        && abs(GetBValue(a) - GetBValue(b)) <= tolerance;
}

// An Exif segment stating `orientation`, put right after the JPEG's SOI.
inline std::string WithExifOrientation(const std::string& jpeg, int orientation)
{
    const char segment[] = {'\xFF', '\xE1', 0, 34, 'E', 'x', 'i', 'f', 0, 0,
                            'I', 'I', 42, 0, 8, 0, 0, 0,            // TIFF header, IFD at 8
                            1, 0,                                   // one entry:
                            0x12, 0x01, 3, 0, 1, 0, 0, 0, char(orientation), 0, 0, 0,  // 274, SHORT
                            0, 0, 0, 0};
    return jpeg.substr(0, 2) + std::string(segment, sizeof(segment)) + jpeg.substr(2);
}

// The size GetReducedPicture is to decode to, and the size it told.
struct Wanted {
    long width, height;
    long toldWidth, toldHeight;
    static void WINAPI Answer(long width, long height, long* wantedWidth, long* wantedHeight, LONG_PTR context)
    {
        Wanted* wanted = reinterpret_cast<Wanted*>(context);
        wanted->toldWidth = width;
        wanted->toldHeight = height;
        *wantedWidth = wanted->width;
        *wantedHeight = wanted->height;
    }
};

inline std::string ColordProfile(const char* name)
{
    return ReadFileBytes(std::string("Z:\\usr\\share\\color\\icc\\colord\\") + name);
}

inline std::string Big32(unsigned long v)
{
    const char bytes[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return std::string(bytes, 4);
}

// The profile in APP2 pieces right after the JPEG's SOI: pieces[i] is the
// number written on the i-th piece of `count`, the bytes split evenly.
inline std::string WithJpegProfile(const std::string& jpeg, const std::string& profile,
                                   std::initializer_list<int> pieces, int count)
{
    std::string segments;
    size_t part = (profile.size() + count - 1) / count;
    for (int number : pieces) {
        std::string body = std::string("ICC_PROFILE", 12) + char(number) + char(count)
            + profile.substr((number - 1) * part, part);
        size_t length = body.size() + 2;
        segments += std::string("\xFF\xE2", 2) + char(length >> 8) + char(length & 0xFF) + body;
    }
    return jpeg.substr(0, 2) + segments + jpeg.substr(2);
}

inline void WINAPI AskHalf(long width, long height, long* wantedWidth, long* wantedHeight, LONG_PTR)
{
    *wantedWidth = (width + 1) / 2;
    *wantedHeight = (height + 1) / 2;
}

// Whether the bytes decode, whole and reduced, to a picture or a clean
// failure; *pictures (when given) counts the pictures, 0 to 2.
inline bool DecodesCleanly(const SysCodec& codec, ReducedGetPicture getReduced, const std::string& bytes,
                           const char* path = nullptr, int* pictures = nullptr)
{
    bool clean = true;
    LPCSTR buffer = path ? path : bytes.data();
    LONG_PTR length = path ? 0 : static_cast<LONG_PTR>(bytes.size());
    unsigned flag = path ? SPI_INPUT_FILE : SPI_INPUT_MEMORY;
    for (int reduced = 0; reduced < 2; reduced++) {
        HLOCAL info = nullptr, bits = nullptr;
        int result = reduced ? getReduced(buffer, length, flag, AskHalf, 0, &info, &bits, nullptr, 0)
                             : codec.getPicture(buffer, length, flag, &info, &bits, nullptr, 0);
        if (result != SPI_SUCCESS) {
            clean = clean && !info && !bits && result != SPI_NOT_IMPLEMENTED;
            continue;
        }
        if (pictures)
            ++*pictures;
        const BITMAPINFOHEADER* header = static_cast<const BITMAPINFOHEADER*>(LocalLock(info));
        clean = clean && header && header->biBitCount == 24 && header->biWidth > 0 && header->biHeight > 0
            && LocalSize(bits) >= static_cast<SIZE_T>((header->biWidth * 3 + 3) & ~3) * header->biHeight;
        LocalUnlock(info);
        LocalFree(info);
        LocalFree(bits);
    }
    return clean;
}
