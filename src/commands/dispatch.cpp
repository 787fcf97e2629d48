#include "commands/dispatch.h"

#include "chip/chip_random.h"
#include "commands/settings_dialog.h"
#include "resource.h"
#include "view/view_mode.h"

// With fewer than two pictures there is no other one, so no count-minus-one
// ever reaches a division.
int ChangeImage(ChipState* state)
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

int ExecuteCommand(ChipHandle chip, ChipState* state, HWND window, int id, HINSTANCE instance)
{
    state->reloadPending = 0;
    if (IsViewMode(id))
        return ApplyViewMode(state, window, id);
    switch (id) {
    case IDM_CHANGE_IMAGE:
        return ChangeImage(state);
    case IDM_SLIDESHOW:
        RestartCountdown(state);
        state->running = state->running ? 0 : 1;
        return 0;
    case IDM_SLIDESHOW_SETTINGS:
        // One settings dialog at a time: while any chip's dialog is open
        // the command is refused, so the open dialog keeps its chip.
        if (SettingsChip())
            return 0;
        // The chip stays locked for the whole dialog; the host may reach
        // it from the dialog's loop, where the lock simply nests, and even
        // end it, which then waits for this lock to go.
        RunSlideshowSettings(chip, state, window, instance);
        RestartCountdown(state);
        return 0;
    }
    return 0;
}
