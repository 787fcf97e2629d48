#include "view/paint.h"

#include "resource.h"
#include "sources/path_list.h"
#include "chip/texts.h"
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

// Paints the picture exactly as laid out, straight into dc. Painting normally
// goes through the render cache; this is what fills the cache, and what is
// used when the cache cannot be made or does not serve the DC.
static void PaintPictureDirect(const ChipState* state, HDC dc, int clientWidth, int clientHeight)
{
    HGDIOBJ previous = nullptr;
    HDC source = SelectPicture(state->bitmap, dc, &previous);
    if (!source)
        return;

    if (state->displayWidth < clientWidth || state->displayHeight < clientHeight) {
        HBRUSH brush = CreateSolidBrush(state->background);
        if (brush) {
            RECT right = {state->displayWidth, 0, clientWidth, clientHeight};
            RECT bottom = {0, state->displayHeight, clientWidth, clientHeight};
            FillRect(dc, &right, brush);
            FillRect(dc, &bottom, brush);
            DeleteObject(brush);
        }
    }

    if (state->viewMode == IDM_ZOOM100) {
        // Only the picture's own pixels: where the client reaches past the
        // picture, the background strips stay.
        int width = clientWidth < state->imageWidth ? clientWidth : state->imageWidth;
        int height = clientHeight < state->imageHeight ? clientHeight : state->imageHeight;
        BitBlt(dc, 0, 0, width, height, source, 0, 0, SRCCOPY);
    } else {
        SetStretchBltMode(dc, HALFTONE);
        StretchBlt(dc, 0, 0, state->displayWidth, state->displayHeight,
                   source, 0, 0, state->imageWidth, state->imageHeight, SRCCOPY);
    }

    SelectObject(source, previous);
    DeleteDC(source);
}

// What distinguishes one DC format from another for a compatible bitmap: a
// memory DC takes the format of the bitmap selected into it, a window or
// screen DC the display's. (GetDeviceCaps would say the same, but costs more
// under Wine than the whole 1:1 copy this check is there to protect.)
// 0 for the DCs the cache does not serve: metafile DCs record what they are
// given and a printer's DC prints it, so both are painted directly.
static int DcFormat(HDC dc)
{
    DWORD type = GetObjectType(dc);
    if (type != OBJ_MEMDC && !(type == OBJ_DC && WindowFromDC(dc)))
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
static bool PrepareCacheBitmap(RenderCache* cache, HDC dc, const RenderKey& key)
{
    if (cache->bitmap && cache->key.dcFormat == key.dcFormat && cache->key.clientWidth == key.clientWidth
        && cache->key.clientHeight == key.clientHeight)
        return true;
    if (cache->dc && cache->key.dcFormat != key.dcFormat)
        ReleaseRenderCache(cache);
    if (!cache->dc) {
        cache->dc = CreateCompatibleDC(dc);
        if (!cache->dc)
            return false;
        cache->previous = GetCurrentObject(cache->dc, OBJ_BITMAP);
    }
    HBITMAP bitmap = CreateCompatibleBitmap(dc, key.clientWidth, key.clientHeight);
    if (!bitmap)
        return false;
    if (!SelectObject(cache->dc, bitmap)) {
        DeleteObject(bitmap);
        return false;
    }
    if (cache->bitmap)
        DeleteObject(cache->bitmap);
    cache->bitmap = bitmap;
    return true;
}

// Renders the client area once, as the layout has it, into the cache.
static bool RebuildCache(ChipState* state, HDC dc, const RenderKey& key)
{
    RenderCache* cache = &state->render;
    cache->valid = false;
    if (!PrepareCacheBitmap(cache, dc, key))
        return false;
    PaintPictureDirect(state, cache->dc, key.clientWidth, key.clientHeight);
    cache->key = key;
    cache->valid = true;
    return true;
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
    bool current = state->render.valid && SameKey(state->render.key, key);
    if (!current)
        current = RebuildCache(state, dc, key);
    if (!current || !PaintFromCache(state->render, dc))
        PaintPictureDirect(state, dc, clientWidth, clientHeight);
}

static void PaintLoadError(const ChipState* state, HDC dc, RECT client)
{
    FillBackground(dc, client, state->background);
    DrawTextA(dc, kTextLoadError, lstrlenA(kTextLoadError), &client,
              DT_SINGLELINE | DT_VCENTER | DT_CENTER);
}

void PaintChip(ChipState* state, HWND window, HDC dc, const char* text)
{
    // With a reload pending the lazy load would fetch a picture only to drop
    // it at once; the reload below loads the right one.
    if (!state->bitmap && !state->loadFailed && !state->reloadPending)
        LoadCurrentPicture(state, window, text);

    RECT client = {0, 0, 0, 0};
    if (!window || !GetClientRect(window, &client))
        SetRectEmpty(&client);
    if (state->reloadPending)
        ReloadCurrentImage(state, window, text);
    if (!dc)
        return;

    if (state->bitmap)
        PaintPicture(state, dc, client.right - client.left, client.bottom - client.top);
    else
        PaintLoadError(state, dc, client);
}
