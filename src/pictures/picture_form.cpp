#include "pictures/picture_form.h"

#include <cstring>

#include "common/reduce.h"

// Whether the DIB section's first row in memory is its top row. The
// platform's own description cannot say: Wine reports a top-down section's
// height as positive. So the top-left pixel is changed and looked for, and
// then put back.
static bool FirstRowIsTop(HBITMAP dib, const BYTE* bits, size_t lastRow, bool* topDown)
{
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ previous = dc ? SelectObject(dc, dib) : nullptr;
    bool known = false;
    COLORREF original = previous ? GetPixel(dc, 0, 0) : CLR_INVALID;
    if (original != CLR_INVALID) {
        COLORREF other = original == RGB(1, 2, 3) ? RGB(3, 2, 1) : RGB(1, 2, 3);
        GdiFlush();
        BYTE firstBefore[3], lastBefore[3];
        memcpy(firstBefore, bits, 3);
        memcpy(lastBefore, bits + lastRow, 3);
        SetPixelV(dc, 0, 0, other);
        GdiFlush();
        bool firstChanged = memcmp(firstBefore, bits, 3) != 0;
        bool lastChanged = memcmp(lastBefore, bits + lastRow, 3) != 0;
        known = firstChanged != lastChanged;
        *topDown = firstChanged;
        SetPixelV(dc, 0, 0, original);
        GdiFlush();
    }
    if (previous)
        SelectObject(dc, previous);
    if (dc)
        DeleteDC(dc);
    return known;
}

static size_t RowBytes(int width, int bitCount)
{
    return (static_cast<size_t>(width) * bitCount + 31) / 32 * 4;
}

static PictureSectionMaker g_sectionMaker;

void SetPictureSectionMaker(PictureSectionMaker maker)
{
    g_sectionMaker = maker;
}

HBITMAP NewTopDownPicture(int width, int height, BYTE** pixels, int bitCount)
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = static_cast<WORD>(bitCount);
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HANDLE section = g_sectionMaker ? g_sectionMaker(RowBytes(width, bitCount) * static_cast<unsigned long long>(height))
                                    : nullptr;
    if (g_sectionMaker && !section)
        return nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, section, 0);
    if (!bitmap && section)
        CloseHandle(section);
    *pixels = static_cast<BYTE*>(bits);
    return bitmap;
}

// `spare` when it is a DIB section of this size and depth (32 or 24 bits),
// else a new top-down one; *topDown says how its rows lie.
static HBITMAP PictureOfSize(int width, int height, int bitCount, HBITMAP spare, BYTE** pixels, bool* topDown)
{
    DIBSECTION section;
    if (spare && GetObjectA(spare, sizeof(section), &section) == sizeof(section) && section.dsBm.bmBits
        && section.dsBm.bmBitsPixel == bitCount && section.dsBmih.biCompression == BI_RGB
        && section.dsBm.bmWidth == width && section.dsBm.bmHeight == height
        && FirstRowIsTop(spare, static_cast<const BYTE*>(section.dsBm.bmBits),
                         RowBytes(width, bitCount) * (height - 1), topDown)) {
        *pixels = static_cast<BYTE*>(section.dsBm.bmBits);
        return spare;
    }
    *topDown = true;
    return NewTopDownPicture(width, height, pixels, bitCount);
}

// 32-bit pixels, for the whole picture.
static HBITMAP PictureOfSize(int width, int height, HBITMAP spare, DWORD** pixels, bool* topDown)
{
    BYTE* bits = nullptr;
    HBITMAP bitmap = PictureOfSize(width, height, 32, spare, &bits, topDown);
    *pixels = reinterpret_cast<DWORD*>(bits);
    return bitmap;
}

// Plug-ins deliver 24-bit rows almost always: those are widened by a plain
// loop (12-16 ms for 24 megapixels under Wine, against 122 ms for the
// system's CreateDIBitmap), which gives the same pixels (the unused fourth
// byte is zero, as the system writes it).
static void Widen24(const BYTE* bits, int width, int height, bool bottomUp, DWORD* out, bool outTopDown)
{
    size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3);
    for (int y = 0; y < height; y++) {
        const BYTE* row = bits + stride * static_cast<size_t>(bottomUp ? height - 1 - y : y);
        DWORD* target = out + static_cast<size_t>(width) * (outTopDown ? y : height - 1 - y);
        for (int x = 0; x < width; x++, row += 3)
            target[x] = row[0] | (row[1] << 8) | (static_cast<DWORD>(row[2]) << 16);
    }
}

// The picture whole: `held` is its own size.
static HBITMAP WholePictureFromDib(const BITMAPINFO* info, const void* bits, HBITMAP spare)
{
    const BITMAPINFOHEADER& header = info->bmiHeader;
    int width = header.biWidth;
    int height = header.biHeight < 0 ? -header.biHeight : header.biHeight;
    DWORD* pixels = nullptr;
    bool topDown = true;
    HBITMAP picture = PictureOfSize(width, height, spare, &pixels, &topDown);
    if (!picture)
        return nullptr;
    if (header.biBitCount == 24 && header.biCompression == BI_RGB) {
        Widen24(static_cast<const BYTE*>(bits), width, height, header.biHeight > 0, pixels, topDown);
        return picture;
    }
    // Every other form (colour tables, 16 bits, bit fields, 32 bits with its
    // fourth byte) through the system's own conversion.
    HDC dc = CreateCompatibleDC(nullptr);
    bool converted = dc && SetDIBits(dc, picture, 0, static_cast<UINT>(height), bits, info, DIB_RGB_COLORS) != 0;
    if (dc)
        DeleteDC(dc);
    if (!converted) {
        if (picture != spare)
            DeleteObject(picture);
        return nullptr;
    }
    return picture;
}

// `loaded` itself when it already is a 32-bit DIB section, else a 32-bit copy
// of it, and `loaded` is deleted.
static HBITMAP WholePictureFromBitmap(HBITMAP loaded, HBITMAP spare)
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
    bool topDown = true;
    if (GetObjectA(loaded, sizeof(size), &size) == sizeof(size))
        picture = PictureOfSize(size.bmWidth, size.bmHeight, spare, &pixels, &topDown);
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
        if (picture != spare)
            DeleteObject(picture);
        picture = nullptr;
    }
    return picture;
}

// A held-size picture reduced from `rows`, at 24 bits a pixel: a reduced
// copy is only ever read by our own reduction (and copied at its own size),
// and 24 bits are a quarter less for a 32-bit host to hold and for a drag
// step to read.
static HBITMAP ReducedPicture(const PixelRows& rows, DisplaySize held, HBITMAP spare)
{
    BYTE* top = nullptr;
    bool topDown = true;
    HBITMAP picture = PictureOfSize(held.width, held.height, 24, spare, &top, &topDown);
    if (!picture)
        return nullptr;
    ptrdiff_t step = static_cast<ptrdiff_t>(RowBytes(held.width, 24));
    if (!topDown) {
        top += step * (held.height - 1);
        step = -step;
    }
    if (!ReduceArea(rows, held.width, held.height, held.width, held.height, top, step, 3)) {
        if (picture != spare)
            DeleteObject(picture);
        return nullptr;
    }
    return picture;
}

// The rows of a 24- or 32-bit DIB section, or false when they cannot be told.
bool PictureRows(HBITMAP section, PixelRows* rows)
{
    DIBSECTION dib;
    if (GetObjectA(section, sizeof(dib), &dib) != sizeof(dib) || !dib.dsBm.bmBits || dib.dsBmih.biCompression != BI_RGB
        || (dib.dsBm.bmBitsPixel != 24 && dib.dsBm.bmBitsPixel != 32))
        return false;
    int height = dib.dsBm.bmHeight < 0 ? -dib.dsBm.bmHeight : dib.dsBm.bmHeight;
    ptrdiff_t stride = dib.dsBm.bmWidthBytes;
    bool topDown = true;
    GdiFlush();
    if (height > 1 && !FirstRowIsTop(section, static_cast<const BYTE*>(dib.dsBm.bmBits),
                                     static_cast<size_t>(stride) * (height - 1), &topDown))
        return false;
    rows->width = dib.dsBm.bmWidth;
    rows->height = height;
    rows->bytesPerPixel = dib.dsBm.bmBitsPixel / 8;
    rows->firstRow = 0;
    rows->top = static_cast<const BYTE*>(dib.dsBm.bmBits) + (topDown ? 0 : stride * (height - 1));
    rows->step = topDown ? stride : -stride;
    return true;
}

// The whole picture `whole` reduced to `held`; `whole` is deleted.
static HBITMAP ReduceWhole(HBITMAP whole, DisplaySize held, HBITMAP spare)
{
    if (!whole)
        return nullptr;
    PixelRows rows;
    HBITMAP picture = PictureRows(whole, &rows) ? ReducedPicture(rows, held, spare) : nullptr;
    DeleteObject(whole);
    return picture;
}

static bool IsWhole(DisplaySize held, int width, int height)
{
    return held.width <= 0 || held.height <= 0 || (held.width >= width && held.height >= height);
}

HBITMAP PictureFromDib(const BITMAPINFO* info, const void* bits, HBITMAP spare, DisplaySize held)
{
    const BITMAPINFOHEADER& header = info->bmiHeader;
    int height = header.biHeight < 0 ? -header.biHeight : header.biHeight;
    if (IsWhole(held, header.biWidth, height))
        return WholePictureFromDib(info, bits, spare);
    PixelRows rows;
    if (RowsOfDib(header, bits, &rows))
        return ReducedPicture(rows, held, spare);
    return ReduceWhole(WholePictureFromDib(info, bits, nullptr), held, spare);
}

// Whether a 32-bit picture's fourth bytes carry transparency: some are not
// 0 and some not 255. Read once per picture, as it is loaded.
static bool CarriesTransparency(const PixelRows& rows)
{
    bool notZero = false, notOpaque = false;
    for (int y = 0; y < rows.height; y++) {
        const BYTE* alpha = rows.top + rows.step * y + 3;
        for (int x = 0; x < rows.width; x++, alpha += 4) {
            notZero |= *alpha != 0;
            notOpaque |= *alpha != 255;
        }
        if (notZero && notOpaque)
            return true;
    }
    return false;
}

bool ComposeTransparency(const BITMAPINFOHEADER& header, void* bits, COLORREF background)
{
    PixelRows rows;
    if (header.biBitCount != 32 || !RowsOfDib(header, bits, &rows) || !CarriesTransparency(rows))
        return false;
    const unsigned under[3] = {GetBValue(background), GetGValue(background), GetRValue(background)};
    for (int y = 0; y < rows.height; y++) {
        BYTE* pixel = const_cast<BYTE*>(rows.top + rows.step * y);
        for (int x = 0; x < rows.width; x++, pixel += 4) {
            unsigned alpha = pixel[3];
            for (int c = 0; c < 3; c++)
                pixel[c] = static_cast<BYTE>((pixel[c] * alpha + under[c] * (255 - alpha) + 127) / 255);
            pixel[3] = 0;
        }
    }
    return true;
}

HBITMAP PictureFromReducedDib(const BITMAPINFO* info, const void* bits, HBITMAP spare)
{
    // An average over one pixel is that pixel: this is a copy, in the form
    // and row order the reduction writes.
    PixelRows rows;
    if (!RowsOfDib(info->bmiHeader, bits, &rows))
        return nullptr;
    return ReducedPicture(rows, DisplaySize{rows.width, rows.height}, spare);
}

HBITMAP PictureFromBitmap(HBITMAP loaded, HBITMAP spare, DisplaySize held)
{
    if (!loaded)
        return nullptr;
    BITMAP size;
    if (GetObjectA(loaded, sizeof(size), &size) != sizeof(size)) {
        DeleteObject(loaded);
        return nullptr;
    }
    if (IsWhole(held, size.bmWidth, size.bmHeight))
        return WholePictureFromBitmap(loaded, spare);
    // The platform's own 24- and 32-bit sections are read where they lie;
    // any other form is first made a 32-bit picture.
    PixelRows rows;
    return ReduceWhole(PictureRows(loaded, &rows) ? loaded : WholePictureFromBitmap(loaded, nullptr), held, spare);
}

HBITMAP ReducedCopy(HBITMAP picture, DisplaySize held)
{
    PixelRows rows;
    return PictureRows(picture, &rows) ? ReducedPicture(rows, held, nullptr) : nullptr;
}
