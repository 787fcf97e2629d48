#include "commands/slideshow_timer.h"

#include "commands/dispatch.h"

int TimerSpan(const ChipState* state)
{
    return state->imageCount > 1 ? 2 : -1;
}

int SlideshowTick(ChipState* state)
{
    if (!state->running)
        return 0;
    // The countdown always restarts at 1 or more, so it reaches 0 here.
    if (--state->ticksLeft > 0)
        return 0;
    RestartCountdown(state);
    if (state->randomOrder) {
        ChangeImage(state);
    } else {
        state->imageIndex++;
        if (state->imageIndex >= state->imageCount || state->imageIndex < 0)
            state->imageIndex = 0;
    }
    state->reloadPending = 1;
    return 3;
}
