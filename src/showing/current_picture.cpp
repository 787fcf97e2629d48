#include "showing/current_picture.h"

#include "chip/path_list.h"
#include "pictures/image_file.h"
#include "pictures/picture_form.h"
#include "showing/read_ahead.h"
#include "pictures/shown_size.h"

void SetShownSize(ChipState* state, HWND window, int mode)
{
    RECT client = ChipClientRect(window);
    DisplaySize shown = ShownSize(mode, client.right - client.left, client.bottom - client.top, state->imageWidth,
                                  state->imageHeight);
    state->displayWidth = shown.width;
    state->displayHeight = shown.height;
}

bool LoadCurrentPicture(ChipState* state, HWND window, const char* text, int mode, LoaderList loaders)
{
    char path[kPathBufferSize];
    GetPathLine(text, state->imageIndex, path);
    RECT client = ChipClientRect(window);
    HeldRule rule = {mode, client.right - client.left, client.bottom - client.top, state->background};
    // The picture being replaced lends its memory to the new one when both
    // have one size, as the photos of one camera do: first touching that
    // much fresh memory costs a large part of a change.
    HBITMAP spare = state->bitmap;
    state->bitmap = nullptr;
    DisplaySize image = {0, 0};
    HBITMAP picture = LoadImageFile(path, loaders, spare, &rule, &image);
    if (spare && spare != picture)
        DeleteObject(spare);
    return ReplacePicture(state, picture, image.width, image.height);
}

void ReloadCurrentImage(ChipState* state, HWND window, const char* text, LoaderList loaders)
{
    // A slideshow step in list order may find its picture read ahead.
    bool shown = TakePreparedPicture(state, window, text)
        || LoadCurrentPicture(state, window, text, state->viewMode, loaders);
    state->loadFailed = shown ? 0 : 1;
    if (IsViewMode(state->viewMode))
        SetShownSize(state, window, state->viewMode);
    state->reloadPending = 0;
}

void FitHeldCopy(ChipState* state, HWND window, const char* text, LoaderList loaders)
{
    if (!state->bitmap || !IsViewMode(state->viewMode))
        return;
    DisplaySize shown = {state->displayWidth, state->displayHeight};
    if (!HeldCopySuffices(state->viewMode, state->heldWidth, state->heldHeight, shown, state->imageWidth,
                          state->imageHeight)) {
        // The reload fits the shown size to the client as it is now, which
        // the copy it reads then covers: it is not repeated.
        ReloadCurrentImage(state, window, text, loaders);
        return;
    }
    // Measured against what is shown, which follows the client only when the
    // host says it changed.
    DisplaySize wanted = HeldForShown(state->viewMode, shown, state->imageWidth, state->imageHeight);
    if (state->heldWidth <= 2LL * wanted.width && state->heldHeight <= 2LL * wanted.height)
        return;
    // Without memory for the smaller copy the larger one simply stays.
    HBITMAP reduced = ReducedCopy(state->bitmap, wanted);
    if (reduced)
        ReplacePicture(state, reduced, state->imageWidth, state->imageHeight);
}

