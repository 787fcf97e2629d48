#include "commands/command_ids.h"
#include "commands/settings_dialog.h"
#include "surface/chip_random.h"
#include "surface/exports.h"
#include "surface/lifecycle.h"
#include "view/view_mode.h"

// Another picture than the current one, drawn with ChipRandom. With fewer
// than two pictures there is no other one: nothing changes and 0 is
// returned, so no count-minus-one ever reaches a division.
static int ChangeImage(ChipState* state)
{
    int count = state->imageCount;
    if (count < 2)
        return 0;
    int position = ChipRandom() % (count - 1);
    // The list without the current index: every position at or after the
    // current one names the next index up.
    bool currentListed = state->imageIndex >= 0 && state->imageIndex < count;
    if (currentListed && position >= state->imageIndex)
        position++;
    state->imageIndex = position;
    state->reloadPending = 1;
    return 3;
}

// Executes a menu command. Returns 3 when the display size may have
// changed, 1 when only the picture must be repainted, 0 when nothing
// visible changed. Every command cancels a pending reload.
int CHIPAPI DoDrawExMenu(ChipHandle chip, HWND window, int id)
{
    int result = 0;
    bool destroyAfterwards = false;
    {
        ChipLock lock(chip);
        ChipState* state = lock.state;
        if (!state)
            return 0;
        state->reloadPending = 0;
        switch (id) {
        case IDM_ZOOM25: case IDM_ZOOM50: case IDM_ZOOM100: case IDM_ZOOM200:
        case IDM_ZOOM400: case IDM_FIT: case IDM_FIT_ASPECT:
            result = ApplyViewMode(state, window, id);
            break;
        case IDM_CHANGE_IMAGE:
            result = ChangeImage(state);
            break;
        case IDM_SLIDESHOW:
            RestartCountdown(state);
            state->running = state->running ? 0 : 1;
            break;
        case IDM_SLIDESHOW_SETTINGS:
            // One settings dialog at a time: while any chip's dialog is open
            // the command is refused, so the open dialog keeps its chip.
            if (g_settingsChip)
                break;
            // The chip stays locked for the whole dialog; the host may reach
            // it from the dialog's loop, where the lock simply nests.
            destroyAfterwards = RunSlideshowSettings(chip, window);
            g_settingsChip = nullptr;
            if (!destroyAfterwards)
                RestartCountdown(state);
            break;
        default:
            break;
        }
    }
    if (destroyAfterwards)
        DestroyChip(chip);
    return result;
}
