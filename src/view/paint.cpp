#include "view/paint.h"

#include "resource.h"
#include "chip/path_list.h"
#include "chip/texts.h"
#include "showing/current_picture.h"
#include "pictures/picture_form.h"
#include "showing/read_ahead.h"
#include "pictures/shown_size.h"
#include "common/reduce.h"
#include "view/render_cache.h"
#include "view/view_mode.h"

static void FillBackground(HDC dc, const RECT& rect, COLORREF colour)
{
    HBRUSH brush = CreateSolidBrush(colour);
    if (!brush)
        return;
    FillRect(dc, &rect, brush);
    DeleteObject(brush);
}

// A memory DC holding the picture, to copy from into dc. A picture made for
// the screen cannot be selected into a DC made for another device (a
// printer): a screen-compatible DC holds it then.
static HDC SelectPicture(HBITMAP picture, HDC dc, HGDIOBJ* previous)
{
    HDC source = CreateCompatibleDC(dc);
    *previous = source ? SelectObject(source, picture) : nullptr;
    if (*previous)
        return source;
    if (source)
        DeleteDC(source);
    source = CreateCompatibleDC(nullptr);
    *previous = source ? SelectObject(source, picture) : nullptr;
    if (*previous)
        return source;
    if (source)
        DeleteDC(source);
    return nullptr;
}

// The zoom modes as whole-number ratios, num / den.
static bool ZoomRatio(int mode, int* num, int* den)
{
    switch (mode) {
    case IDM_ZOOM25: *num = 1; *den = 4; return true;
    case IDM_ZOOM50: *num = 1; *den = 2; return true;
    case IDM_ZOOM200: *num = 2; *den = 1; return true;
    case IDM_ZOOM400: *num = 4; *den = 1; return true;
    }
    return false;
}

// Whether the picture is shown at exactly a whole-number ratio: always when
// enlarged, when reduced only if its sides divide by the reduction (a
// 401-pixel side shown 100 pixels wide is squeezed a little more).
static bool ExactZoom(const ChipState* state, int* num, int* den)
{
    return ZoomRatio(state->viewMode, num, den) && *num != *den && state->heldWidth == state->imageWidth
        && state->heldHeight == state->imageHeight && state->heldWidth % *den == 0
        && state->heldHeight % *den == 0;
}

// How the held copy becomes what is shown.
enum Shown {
    kShownAsHeld,   // at its own size: copied
    kShownZoomed,   // enlarged by a whole number: stretched part by part
    kShownReduced,  // smaller in both directions: averaged by our own reduction
    kShownStretched // anything else: one halftone stretch of the whole copy
};

// The zoom's ratio comes back through num / den for kShownZoomed.
static Shown HowShown(const ChipState* state, int* num, int* den)
{
    if (state->displayWidth == state->heldWidth && state->displayHeight == state->heldHeight)
        return kShownAsHeld;
    if (ExactZoom(state, num, den))
        return kShownZoomed;
    if (state->displayWidth <= state->heldWidth && state->displayHeight <= state->heldHeight
        && state->displayWidth > 0 && state->displayHeight > 0)
        return kShownReduced;
    return kShownStretched;
}

// The whole held copy stretched to the display size, clipped to `area`: the
// copy may be larger than the area, and where the stretch is cut changes
// what it gives.
static void StretchWhole(const ChipState* state, HDC dc, HDC source, const RECT& area)
{
    int saved = SaveDC(dc);
    IntersectClipRect(dc, area.left, area.top, area.right, area.bottom);
    SetStretchBltMode(dc, HALFTONE);
    StretchBlt(dc, 0, 0, state->displayWidth, state->displayHeight, source, 0, 0, state->heldWidth,
               state->heldHeight, SRCCOPY);
    if (saved)
        RestoreDC(dc, saved);
}

// Source pixels around what is shown that a scaled part is given (in whole
// blocks of the reduction). The platform's halftone stretch blends
// neighbouring pixels, and where the destination is cut by a bitmap's or a
// clip's edge it maps the remaining part with a slightly different ratio, so
// the same picture at 200 % would differ between a chip 333 and one 600
// pixels wide. Stretching whole source blocks, with a margin around them,
// into a bitmap that cuts nothing gives every shown pixel as the uncut
// stretch of the whole picture has it, whatever the client size or the part.
// Wine's blend reaches one pixel (measured: a margin of 0 differs, 1 does
// not); 2 leaves room for a wider filter elsewhere.
static const int kScaleMargin = 2;

// Paints `area` of the picture shown at num / den into dc.
static void PaintExactZoom(const ChipState* state, HDC dc, HDC source, int num, int den, const RECT& area)
{
    int left = (area.left * den / num / den - kScaleMargin) * den;
    int top = (area.top * den / num / den - kScaleMargin) * den;
    int right = ((area.right * den + num - 1) / num + den - 1) / den * den + kScaleMargin * den;
    int bottom = ((area.bottom * den + num - 1) / num + den - 1) / den * den + kScaleMargin * den;
    left = left < 0 ? 0 : left;
    top = top < 0 ? 0 : top;
    right = right > state->heldWidth ? state->heldWidth : right;
    bottom = bottom > state->heldHeight ? state->heldHeight : bottom;
    if (right <= left || bottom <= top)
        return;
    int width = (right - left) * num / den;
    int height = (bottom - top) * num / den;
    // Made like dc, the fastest to copy into it; but a metafile's DC has no
    // pixels to make a bitmap like, and the picture's DC stands in for it.
    DWORD kind = GetObjectType(dc);
    HDC like = kind == OBJ_ENHMETADC || kind == OBJ_METADC ? source : dc;
    HBITMAP scaled = CreateCompatibleBitmap(like, width, height);
    HDC target = scaled ? CreateCompatibleDC(like) : nullptr;
    HGDIOBJ previous = target ? SelectObject(target, scaled) : nullptr;
    if (previous) {
        SetStretchBltMode(target, HALFTONE);
        StretchBlt(target, 0, 0, width, height, source, left, top, right - left, bottom - top, SRCCOPY);
        BitBlt(dc, area.left, area.top, area.right - area.left, area.bottom - area.top, target,
               area.left - left * num / den, area.top - top * num / den, SRCCOPY);
        SelectObject(target, previous);
    } else {
        // Without room for the stretched part, the stretch itself is given.
        StretchWhole(state, dc, source, area);
    }
    if (target)
        DeleteDC(target);
    if (scaled)
        DeleteObject(scaled);
}

// Where the pixels of the DC painted into lie, when they can be written
// directly (the render cache's own bitmap): null `top` when they cannot.
struct PixelTarget {
    BYTE* top;
    ptrdiff_t step;
};

// Paints `picture` (a part of the shown picture) reduced from the held copy
// by our own area average, either straight into the target's pixels or
// through a bitmap of the part's size. The platform's halftone stretch
// reads the whole copy again at every size (about 30 ms for a full-screen
// chip under Wine); the average reads only what it needs. Where the copy is
// the whole picture at twice the shown size, that is the picture's exact
// area average; where the copy was itself reduced, within a level of it.
static bool PaintReduced(const ChipState* state, HDC dc, const PixelTarget& target, const RECT& picture)
{
    PixelRows rows;
    if (!PictureRows(state->bitmap, &rows))
        return false;
    int width = picture.right;
    int height = picture.bottom;
    if (target.top) {
        GdiFlush();
        return ReduceArea(rows, state->displayWidth, state->displayHeight, width, height, target.top, target.step);
    }
    BYTE* bits = nullptr;
    HBITMAP part = NewTopDownPicture(width, height, &bits);
    if (!part)
        return false;
    bool painted = false;
    if (ReduceArea(rows, state->displayWidth, state->displayHeight, width, height, bits,
                   static_cast<ptrdiff_t>(width) * 4)) {
        HGDIOBJ previous = nullptr;
        HDC source = SelectPicture(part, dc, &previous);
        if (source) {
            painted = BitBlt(dc, picture.left, picture.top, picture.right - picture.left,
                             picture.bottom - picture.top, source, picture.left, picture.top, SRCCOPY) != FALSE;
            SelectObject(source, previous);
            DeleteDC(source);
        }
    }
    DeleteObject(part);
    return painted;
}

// Paints `area` of the client (all of it, or a strip newly exposed by a
// resize) exactly as laid out, straight into dc: the picture at its display
// size from the top-left corner, the background to its right and below.
// Painting normally goes through the render cache; this is what fills the
// cache, and what is used when the cache cannot be made or does not serve
// the DC.
static void PaintLayout(const ChipState* state, HDC dc, const PixelTarget& target, int clientWidth,
                        int clientHeight, const RECT& area)
{
    if (state->displayWidth < clientWidth || state->displayHeight < clientHeight) {
        HBRUSH brush = CreateSolidBrush(state->background);
        if (brush) {
            RECT right = {state->displayWidth, 0, clientWidth, clientHeight};
            RECT bottom = {0, state->displayHeight, clientWidth, clientHeight};
            RECT part;
            if (IntersectRect(&part, &right, &area))
                FillRect(dc, &part, brush);
            if (IntersectRect(&part, &bottom, &area))
                FillRect(dc, &part, brush);
            DeleteObject(brush);
        }
    }

    RECT shown = {0, 0, state->displayWidth, state->displayHeight};
    RECT picture;
    if (!IntersectRect(&picture, &shown, &area))
        return;
    int num = 1, den = 1;
    Shown how = HowShown(state, &num, &den);
    if (how == kShownReduced && PaintReduced(state, dc, target, picture))
        return;
    HGDIOBJ previous = nullptr;
    HDC source = SelectPicture(state->bitmap, dc, &previous);
    if (!source)
        return;
    if (how == kShownAsHeld)
        BitBlt(dc, picture.left, picture.top, picture.right - picture.left, picture.bottom - picture.top, source,
               picture.left, picture.top, SRCCOPY);
    else if (how == kShownZoomed)
        PaintExactZoom(state, dc, source, num, den, picture);
    else
        StretchWhole(state, dc, source, area);  // only ever the whole client: see ResizeCache
    SelectObject(source, previous);
    DeleteDC(source);
}

static void PaintPictureDirect(const ChipState* state, HDC dc, int clientWidth, int clientHeight)
{
    RECT client = {0, 0, clientWidth, clientHeight};
    PixelTarget none = {nullptr, 0};
    PaintLayout(state, dc, none, clientWidth, clientHeight, client);
}

// What distinguishes one DC format from another for a compatible bitmap: a
// memory DC takes the format of the bitmap selected into it, a window or
// screen DC the display's. 0 for the DCs the cache does not serve, which are
// painted directly: metafile DCs record what they are given, and a printer
// (or a memory DC made for one) reports a window's or a bitmap's format as
// a display does but renders at its own resolution, so it must neither reuse
// the screen's copy nor leave a copy of its own for the screen to show.
static int DcFormat(HDC dc)
{
    DWORD type = GetObjectType(dc);
    if ((type != OBJ_MEMDC && type != OBJ_DC) || GetDeviceCaps(dc, TECHNOLOGY) != DT_RASDISPLAY)
        return 0;
    int format = static_cast<int>(type) * 256;
    BITMAP selected;
    HGDIOBJ current = GetCurrentObject(dc, OBJ_BITMAP);
    if (current && GetObjectA(current, sizeof(selected), &selected) == sizeof(selected))
        format += selected.bmBitsPixel;
    return format;
}

static RenderKey CacheKey(const ChipState* state, HDC dc, int clientWidth, int clientHeight)
{
    RenderKey key;
    key.pictureSerial = state->pictureSerial;
    key.viewMode = state->viewMode;
    key.displayWidth = state->displayWidth;
    key.displayHeight = state->displayHeight;
    key.clientWidth = clientWidth;
    key.clientHeight = clientHeight;
    key.background = state->background;
    key.dcFormat = DcFormat(dc);
    return key;
}

static bool SameKey(const RenderKey& a, const RenderKey& b)
{
    return a.pictureSerial == b.pictureSerial && a.viewMode == b.viewMode
        && a.displayWidth == b.displayWidth && a.displayHeight == b.displayHeight
        && a.clientWidth == b.clientWidth && a.clientHeight == b.clientHeight
        && a.background == b.background && a.dcFormat == b.dcFormat;
}

// Makes the cache's bitmap fit the key: the one it has when the client size
// and DC format are unchanged (a new picture or mode is drawn over it), else
// a new one, and the old one is deleted only after the new one has taken its
// place in the DC. A DC of another format gets a memory DC of its own, made
// compatible with it: a bitmap goes only into a DC of its kind.
// A new copy is made a little larger than the client, and one is kept while
// it is larger by less than this: a chip's edge dragged a few pixels at a
// time then costs no new bitmap (allocating and first touching 8 MB took
// more than stretching the newly exposed strips).
static const int kCacheSlack = 64;

static bool HasRoom(const RenderCache& cache, int width, int height)
{
    return cache.bitmap && width <= cache.width && height <= cache.height && cache.width - width < 2 * kCacheSlack
        && cache.height - height < 2 * kCacheSlack;
}

// Where a display or bitmap has 32 bits a pixel, the copy is a DIB section of
// that form, as quick to copy from as a compatible bitmap, whose pixels our
// own reduction writes directly; any other gets a compatible bitmap.
static HBITMAP CacheBitmap(HDC dc, int width, int height, BYTE** pixels)
{
    *pixels = nullptr;
    int bits = 0;
    if (GetObjectType(dc) == OBJ_MEMDC) {
        BITMAP selected;
        HGDIOBJ current = GetCurrentObject(dc, OBJ_BITMAP);
        if (current && GetObjectA(current, sizeof(selected), &selected) == sizeof(selected))
            bits = selected.bmBitsPixel;
    } else {
        bits = GetDeviceCaps(dc, BITSPIXEL);
    }
    if (bits != 32)
        return CreateCompatibleBitmap(dc, width, height);
    return NewTopDownPicture(width, height, pixels);
}

static PixelTarget CacheTarget(const RenderCache& cache)
{
    PixelTarget target = {cache.pixels, static_cast<ptrdiff_t>(cache.width) * 4};
    return target;
}

// A bitmap for a client of width x height, with room to grow, selected into
// the cache's DC in place of the old one (deleted only then); *keptWidth x
// *keptHeight of the old pixels are copied into it first.
static bool ReplaceCacheBitmap(RenderCache* cache, HDC dc, int width, int height, int keptWidth, int keptHeight)
{
    int roomyWidth = width + kCacheSlack;
    int roomyHeight = height + kCacheSlack;
    BYTE* pixels = nullptr;
    HBITMAP bitmap = CacheBitmap(dc, roomyWidth, roomyHeight, &pixels);
    if (!bitmap)
        return false;
    bool kept = true;
    if (cache->bitmap && keptWidth > 0 && keptHeight > 0) {
        HDC fresh = CreateCompatibleDC(cache->dc);
        HGDIOBJ previous = fresh ? SelectObject(fresh, bitmap) : nullptr;
        kept = previous && BitBlt(fresh, 0, 0, keptWidth, keptHeight, cache->dc, 0, 0, SRCCOPY);
        if (previous)
            SelectObject(fresh, previous);
        if (fresh)
            DeleteDC(fresh);
    }
    if (!kept || !SelectObject(cache->dc, bitmap)) {
        DeleteObject(bitmap);
        return false;
    }
    if (cache->bitmap)
        DeleteObject(cache->bitmap);
    cache->bitmap = bitmap;
    cache->pixels = pixels;
    cache->width = roomyWidth;
    cache->height = roomyHeight;
    return true;
}

static bool PrepareCacheBitmap(RenderCache* cache, HDC dc, const RenderKey& key)
{
    if (cache->key.dcFormat == key.dcFormat && HasRoom(*cache, key.clientWidth, key.clientHeight))
        return true;
    if (cache->dc && cache->key.dcFormat != key.dcFormat)
        EmptyRenderCache(cache);
    if (!cache->dc) {
        cache->dc = CreateCompatibleDC(dc);
        if (!cache->dc)
            return false;
        cache->previous = GetCurrentObject(cache->dc, OBJ_BITMAP);
    }
    return ReplaceCacheBitmap(cache, dc, key.clientWidth, key.clientHeight, 0, 0);
}

// Renders the client area once, as the layout has it, into the cache.
static bool RebuildCache(ChipState* state, HDC dc, const RenderKey& key)
{
    RenderCache* cache = ExistingRenderCache(state);
    cache->valid = false;
    if (!PrepareCacheBitmap(cache, dc, key))
        return false;
    RECT client = {0, 0, key.clientWidth, key.clientHeight};
    PaintLayout(state, cache->dc, CacheTarget(*cache), key.clientWidth, key.clientHeight, client);
    cache->key = key;
    cache->valid = true;
    return true;
}

// Whether the copy shows the same picture the same way, and only the client
// size has changed since, in a mode whose layout does not follow the client.
static bool OnlyClientResized(const RenderCache& cache, const RenderKey& key)
{
    RenderKey resized = cache.key;
    resized.clientWidth = key.clientWidth;
    resized.clientHeight = key.clientHeight;
    return cache.valid && cache.bitmap && key.viewMode >= IDM_ZOOM25 && key.viewMode <= IDM_ZOOM400
        && SameKey(resized, key);
}

// In the zoom modes the picture's place does not depend on the client size:
// after a resize the pixels still inside are kept, and only the newly
// exposed strips are painted, each as a full rebuild paints it.
static bool ResizeCache(ChipState* state, HDC dc, const RenderKey& key)
{
    RenderCache* cache = ExistingRenderCache(state);
    int keptWidth = key.clientWidth < cache->key.clientWidth ? key.clientWidth : cache->key.clientWidth;
    int keptHeight = key.clientHeight < cache->key.clientHeight ? key.clientHeight : cache->key.clientHeight;
    // The strips the old copy did not cover: right of it, and below it.
    RECT right = {keptWidth, 0, key.clientWidth, key.clientHeight};
    RECT below = {0, keptHeight, keptWidth, key.clientHeight};
    // A picture squeezed by an inexact ratio can only be stretched whole; the
    // resize then costs a rebuild, unless the strips show only background.
    RECT shown = {0, 0, state->displayWidth, state->displayHeight};
    RECT overlap;
    int num = 1, den = 1;
    Shown how = HowShown(state, &num, &den);
    if (how != kShownAsHeld && how != kShownZoomed
        && (IntersectRect(&overlap, &right, &shown) || IntersectRect(&overlap, &below, &shown)))
        return false;
    if (!HasRoom(*cache, key.clientWidth, key.clientHeight)
        && !ReplaceCacheBitmap(cache, dc, key.clientWidth, key.clientHeight, keptWidth, keptHeight))
        return false;
    cache->valid = false;
    if (!IsRectEmpty(&right))
        PaintLayout(state, cache->dc, CacheTarget(*cache), key.clientWidth, key.clientHeight, right);
    if (!IsRectEmpty(&below))
        PaintLayout(state, cache->dc, CacheTarget(*cache), key.clientWidth, key.clientHeight, below);
    cache->key = key;
    cache->valid = true;
    return cache->valid;
}

static bool PaintFromCache(const RenderCache& cache, HDC dc)
{
    return BitBlt(dc, 0, 0, cache.key.clientWidth, cache.key.clientHeight, cache.dc, 0, 0, SRCCOPY) != FALSE;
}

static void PaintPicture(ChipState* state, HDC dc, int clientWidth, int clientHeight)
{
    // The host's DC is left in halftone mode whenever the picture is scaled.
    if (state->viewMode != IDM_ZOOM100)
        SetStretchBltMode(dc, HALFTONE);
    if (clientWidth <= 0 || clientHeight <= 0)
        return;
    RenderKey key = CacheKey(state, dc, clientWidth, clientHeight);
    if (!key.dcFormat) {
        PaintPictureDirect(state, dc, clientWidth, clientHeight);
        return;
    }
    RenderCache* cache = RenderCacheOf(state);
    if (!cache) {
        PaintPictureDirect(state, dc, clientWidth, clientHeight);
        return;
    }
    bool current = cache->valid && SameKey(cache->key, key);
    if (!current && OnlyClientResized(*cache, key))
        current = ResizeCache(state, dc, key);
    if (!current)
        current = RebuildCache(state, dc, key);
    if (!current || !PaintFromCache(*cache, dc))
        PaintPictureDirect(state, dc, clientWidth, clientHeight);
}

static void PaintLoadError(const ChipState* state, HDC dc, RECT client)
{
    FillBackground(dc, client, state->background);
    DrawTextA(dc, kTextLoadError, lstrlenA(kTextLoadError), &client,
              DT_SINGLELINE | DT_VCENTER | DT_CENTER);
}

void PaintChip(ChipState* state, HWND window, HDC dc, const char* text, LoaderList loaders)
{
    // With a reload pending the lazy load would fetch a picture only to drop
    // it at once; the reload below loads the right one.
    if (!state->bitmap && !state->loadFailed && !state->reloadPending)
        LoadCurrentPicture(state, window, text, state->viewMode, loaders);

    RECT client = ChipClientRect(window);
    if (state->reloadPending)
        ReloadCurrentImage(state, window, text, loaders);
    FitHeldCopy(state, window, text, loaders);
    if (!dc)
        return;

    if (state->bitmap)
        PaintPicture(state, dc, client.right - client.left, client.bottom - client.top);
    else
        PaintLoadError(state, dc, client);
    // Shown: a slideshow in list order has its next picture read ahead.
    PrepareNextPicture(state, window, text, loaders);
}

void ReleasePictures(ChipState* state)
{
    DropPicture(state);
    DropPreparedPicture(state);
    ReleaseRenderCache(state);
}
