#include "view/view_mode.h"

#include <climits>

#include "sources/loaders.h"
#include "sources/path_list.h"

static int ClampToInt(long long value)
{
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

// Rounds image x scale / 1,000,000 up. The product stays below 2^53 for any
// 32-bit client and image: scale <= client x 1,000,000 / image.
static long long ScaleUp(long long image, long long scale)
{
    long long product = image * scale;
    long long result = product / 1000000;
    if (result * 1000000 != product)
        result++;
    return result;
}

DisplaySize FitAspect(int clientWidth, int clientHeight, int imageWidth, int imageHeight)
{
    DisplaySize size = {0, 0};
    if (imageWidth <= 0 || imageHeight <= 0 || clientWidth <= 0 || clientHeight <= 0)
        return size;
    long long horizontal = static_cast<long long>(clientWidth) * 1000000 / imageWidth;
    long long vertical = static_cast<long long>(clientHeight) * 1000000 / imageHeight;
    long long scale = horizontal < vertical ? horizontal : vertical;
    size.width = ClampToInt(ScaleUp(imageWidth, scale));
    size.height = ClampToInt(ScaleUp(imageHeight, scale));
    return size;
}

// A window without a client rectangle (none yet, or destroyed) fits to 0 x 0.
static RECT ClientRect(HWND window)
{
    RECT rect = {0, 0, 0, 0};
    if (!window || !GetClientRect(window, &rect))
        SetRectEmpty(&rect);
    return rect;
}

int ApplyViewMode(ChipState* state, HWND window, int id)
{
    if (!IsViewMode(id))
        return 0;
    long long w = state->imageWidth;
    long long h = state->imageHeight;
    switch (id) {
    case IDM_ZOOM25:
        state->displayWidth = static_cast<int>(w / 4);
        state->displayHeight = static_cast<int>(h / 4);
        break;
    case IDM_ZOOM50:
        state->displayWidth = static_cast<int>(w / 2);
        state->displayHeight = static_cast<int>(h / 2);
        break;
    case IDM_ZOOM100:
        state->displayWidth = static_cast<int>(w);
        state->displayHeight = static_cast<int>(h);
        break;
    case IDM_ZOOM200:
        state->displayWidth = ClampToInt(w * 2);
        state->displayHeight = ClampToInt(h * 2);
        break;
    case IDM_ZOOM400:
        state->displayWidth = ClampToInt(w * 4);
        state->displayHeight = ClampToInt(h * 4);
        break;
    case IDM_FIT: {
        RECT client = ClientRect(window);
        state->displayWidth = client.right - client.left;
        state->displayHeight = client.bottom - client.top;
        break;
    }
    case IDM_FIT_ASPECT: {
        RECT client = ClientRect(window);
        DisplaySize size = FitAspect(client.right - client.left, client.bottom - client.top,
                                     state->imageWidth, state->imageHeight);
        state->displayWidth = size.width;
        state->displayHeight = size.height;
        break;
    }
    }
    if (state->viewMode == id)
        return 0;
    state->viewMode = id;
    return id < IDM_FIT ? 3 : 1;
}

bool LoadCurrentPicture(ChipState* state, const char* text)
{
    char path[kPathBufferSize];
    GetPathLine(text, state->imageIndex, path);
    // The picture being replaced lends its memory to the new one when both
    // have one size, as the photos of one camera do: first touching that
    // much fresh memory costs a large part of a change.
    HBITMAP spare = state->bitmap;
    state->bitmap = nullptr;
    HBITMAP picture = LoadImageFile(path, g_loaders, spare);
    if (spare && spare != picture)
        DeleteObject(spare);
    return ReplacePicture(state, picture);
}

void ReloadCurrentImage(ChipState* state, HWND window, const char* text)
{
    state->loadFailed = LoadCurrentPicture(state, text) ? 0 : 1;
    ApplyViewMode(state, window, state->viewMode);
    state->reloadPending = 0;
}

void DefaultSize(ChipState* state, HWND window, int* size, const char* text)
{
    if (state->reloadPending)
        ReloadCurrentImage(state, window, text);
    if (size) {
        size[0] = state->displayWidth;
        size[1] = state->displayHeight;
    }
}

int FollowClientSize(ChipState* state, HWND window)
{
    if (!state->bitmap)
        return 1;
    if (state->viewMode == IDM_FIT) {
        RECT client = ClientRect(window);
        state->displayWidth = client.right - client.left;
        state->displayHeight = client.bottom - client.top;
        return 0;
    }
    if (state->viewMode == IDM_FIT_ASPECT) {
        RECT client = ClientRect(window);
        DisplaySize size = FitAspect(client.right - client.left, client.bottom - client.top,
                                     state->imageWidth, state->imageHeight);
        state->displayWidth = size.width;
        state->displayHeight = size.height;
        return 1;
    }
    return 1;
}
