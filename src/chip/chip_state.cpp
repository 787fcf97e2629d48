#include "chip/chip_state.h"

#include <climits>

int SlideshowTicks(const ChipState* state)
{
    long long ticks = static_cast<long long>(state->interval) * (state->unitIsOne ? 1 : 10);
    if (ticks < 1)
        return 1;
    if (ticks > INT_MAX)
        return INT_MAX;
    return static_cast<int>(ticks);
}

void RestartCountdown(ChipState* state)
{
    state->ticksLeft = SlideshowTicks(state);
}

void ResetSlideshowDefaults(ChipState* state)
{
    state->running = 0;
    state->interval = 3;
    state->unitIsOne = 1;
    state->randomOrder = 0;
    state->ticksLeft = 3;
}

bool ReplacePicture(ChipState* state, HBITMAP bitmap, int imageWidth, int imageHeight)
{
    DropPicture(state);
    state->bitmap = bitmap;
    state->pictureSerial++;

    BITMAP info;
    if (bitmap && GetObjectA(bitmap, sizeof(info), &info) == sizeof(info)) {
        state->heldWidth = info.bmWidth;
        state->heldHeight = info.bmHeight < 0 ? -info.bmHeight : info.bmHeight;
        bool given = imageWidth >= state->heldWidth && imageHeight >= state->heldHeight;
        state->imageWidth = given ? imageWidth : state->heldWidth;
        state->imageHeight = given ? imageHeight : state->heldHeight;
        return true;
    }
    if (bitmap) {
        DeleteObject(bitmap);
        state->bitmap = nullptr;
    }
    state->imageWidth = state->heldWidth = 160;
    state->imageHeight = state->heldHeight = 90;
    return false;
}

void DropPicture(ChipState* state)
{
    if (state->bitmap) {
        DeleteObject(state->bitmap);
        state->bitmap = nullptr;
    }
}
