#include "sources/picture_form.h"

#include <cstring>

static HBITMAP NewPicture(int width, int height, DWORD** pixels)
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    *pixels = static_cast<DWORD*>(bits);
    return bitmap;
}

// Plug-ins deliver 24-bit rows almost always: those are widened by a plain
// loop, which costs half of what the system's conversion does for a
// photograph and gives the same pixels (the unused fourth byte is zero, as
// the system writes it).
static void Widen24(const BYTE* bits, int width, int height, bool bottomUp, DWORD* out)
{
    size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3);
    for (int y = 0; y < height; y++) {
        const BYTE* row = bits + stride * static_cast<size_t>(bottomUp ? height - 1 - y : y);
        DWORD* target = out + static_cast<size_t>(width) * y;
        for (int x = 0; x < width; x++, row += 3)
            target[x] = row[0] | (row[1] << 8) | (static_cast<DWORD>(row[2]) << 16);
    }
}

HBITMAP PictureFromDib(const BITMAPINFO* info, const void* bits)
{
    const BITMAPINFOHEADER& header = info->bmiHeader;
    int width = header.biWidth;
    int height = header.biHeight < 0 ? -header.biHeight : header.biHeight;
    DWORD* pixels = nullptr;
    HBITMAP picture = NewPicture(width, height, &pixels);
    if (!picture)
        return nullptr;
    if (header.biBitCount == 24 && header.biCompression == BI_RGB) {
        Widen24(static_cast<const BYTE*>(bits), width, height, header.biHeight > 0, pixels);
        return picture;
    }
    // Every other form (colour tables, 16 bits, bit fields, 32 bits with its
    // fourth byte) through the system's own conversion.
    HDC dc = CreateCompatibleDC(nullptr);
    bool converted = dc && SetDIBits(dc, picture, 0, static_cast<UINT>(height), bits, info, DIB_RGB_COLORS) != 0;
    if (dc)
        DeleteDC(dc);
    if (!converted) {
        DeleteObject(picture);
        return nullptr;
    }
    return picture;
}

HBITMAP PictureFromBitmap(HBITMAP loaded)
{
    if (!loaded)
        return nullptr;
    DIBSECTION section;
    if (GetObjectA(loaded, sizeof(section), &section) == sizeof(section) && section.dsBm.bmBitsPixel == 32
        && section.dsBmih.biCompression == BI_RGB)
        return loaded;
    BITMAP size;
    HBITMAP picture = nullptr;
    DWORD* pixels = nullptr;
    if (GetObjectA(loaded, sizeof(size), &size) == sizeof(size))
        picture = NewPicture(size.bmWidth, size.bmHeight, &pixels);
    HDC source = CreateCompatibleDC(nullptr);
    HDC target = CreateCompatibleDC(nullptr);
    bool copied = false;
    if (picture && source && target) {
        HGDIOBJ oldSource = SelectObject(source, loaded);
        HGDIOBJ oldTarget = SelectObject(target, picture);
        copied = oldSource && oldTarget
            && BitBlt(target, 0, 0, size.bmWidth, size.bmHeight, source, 0, 0, SRCCOPY);
        if (oldSource)
            SelectObject(source, oldSource);
        if (oldTarget)
            SelectObject(target, oldTarget);
    }
    if (source)
        DeleteDC(source);
    if (target)
        DeleteDC(target);
    DeleteObject(loaded);
    if (!copied && picture) {
        DeleteObject(picture);
        picture = nullptr;
    }
    return picture;
}
