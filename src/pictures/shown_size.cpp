#include "pictures/shown_size.h"

#include <climits>

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

DisplaySize ShownSize(int mode, int clientWidth, int clientHeight, int imageWidth, int imageHeight)
{
    long long w = imageWidth;
    long long h = imageHeight;
    DisplaySize size = {imageWidth, imageHeight};
    switch (mode) {
    case IDM_ZOOM25: size = {static_cast<int>(w / 4), static_cast<int>(h / 4)}; break;
    case IDM_ZOOM50: size = {static_cast<int>(w / 2), static_cast<int>(h / 2)}; break;
    case IDM_ZOOM200: size = {ClampToInt(w * 2), ClampToInt(h * 2)}; break;
    case IDM_ZOOM400: size = {ClampToInt(w * 4), ClampToInt(h * 4)}; break;
    case IDM_FIT: size = {clientWidth, clientHeight}; break;
    case IDM_FIT_ASPECT: size = FitAspect(clientWidth, clientHeight, imageWidth, imageHeight); break;
    }
    return size;
}

static int AtMost(long long wanted, int side)
{
    if (wanted < 1)
        return 1;
    return wanted < side ? static_cast<int>(wanted) : side;
}

DisplaySize HeldForShown(int mode, DisplaySize shown, int imageWidth, int imageHeight)
{
    DisplaySize whole = {imageWidth, imageHeight};
    if (imageWidth <= 0 || imageHeight <= 0)
        return whole;
    switch (mode) {
    case IDM_ZOOM25:
    case IDM_ZOOM50:
        return {AtMost(shown.width, imageWidth), AtMost(shown.height, imageHeight)};
    case IDM_FIT:
    case IDM_FIT_ASPECT:
        return {AtMost(2LL * shown.width, imageWidth), AtMost(2LL * shown.height, imageHeight)};
    }
    return whole;
}

DisplaySize HeldSize(int mode, int clientWidth, int clientHeight, int imageWidth, int imageHeight)
{
    if ((mode == IDM_FIT || mode == IDM_FIT_ASPECT) && (clientWidth <= 0 || clientHeight <= 0))
        return {imageWidth, imageHeight};
    return HeldForShown(mode, ShownSize(mode, clientWidth, clientHeight, imageWidth, imageHeight), imageWidth,
                        imageHeight);
}

bool HeldCopySuffices(int mode, int heldWidth, int heldHeight, DisplaySize shown, int imageWidth, int imageHeight)
{
    bool whole = heldWidth >= imageWidth && heldHeight >= imageHeight;
    if (whole || mode == IDM_ZOOM100 || mode == IDM_ZOOM200 || mode == IDM_ZOOM400)
        return whole;
    return (heldWidth >= shown.width || heldWidth >= imageWidth)
        && (heldHeight >= shown.height || heldHeight >= imageHeight);
}

RECT ChipClientRect(HWND window)
{
    RECT rect = {0, 0, 0, 0};
    if (!window || !GetClientRect(window, &rect))
        SetRectEmpty(&rect);
    return rect;
}
