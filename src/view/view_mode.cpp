#include "view/view_mode.h"

#include "showing/current_picture.h"

int ApplyViewMode(ChipState* state, HWND window, int id)
{
    if (!IsViewMode(id))
        return 0;
    SetShownSize(state, window, id);
    if (state->viewMode == id)
        return 0;
    state->viewMode = id;
    return id < IDM_FIT ? 3 : 1;
}

void DefaultSize(ChipState* state, HWND window, int* size, const char* text, LoaderList loaders)
{
    if (state->reloadPending)
        ReloadCurrentImage(state, window, text, loaders);
    if (size) {
        size[0] = state->displayWidth;
        size[1] = state->displayHeight;
    }
}

int FollowClientSize(ChipState* state, HWND window)
{
    if (!state->bitmap || (state->viewMode != IDM_FIT && state->viewMode != IDM_FIT_ASPECT))
        return 1;
    SetShownSize(state, window, state->viewMode);
    return state->viewMode == IDM_FIT ? 0 : 1;
}
