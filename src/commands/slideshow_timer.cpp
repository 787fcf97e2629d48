#include "commands/command_ids.h"
#include "surface/exports.h"

// 2 (host timer units) for a chip with a list to step through, -1 for none.
int CHIPAPI GetTimerSpan(ChipHandle chip)
{
    ChipLock lock(chip);
    const ChipState* state = lock.state;
    if (!state)
        return -1;
    return state->imageCount > 1 ? 2 : -1;
}

// One host tick. Returns 3 when the chip moved on to another picture (loaded
// at the next size query or paint), else 0.
int CHIPAPI DoTimer(ChipHandle chip)
{
    ChipLock lock(chip);
    ChipState* state = lock.state;
    if (!state || !state->running)
        return 0;
    // The countdown always restarts at 1 or more, so it reaches 0 here.
    if (--state->ticksLeft > 0)
        return 0;
    RestartCountdown(state);
    if (state->randomOrder) {
        DoDrawExMenu(chip, nullptr, IDM_CHANGE_IMAGE);
    } else {
        state->imageIndex++;
        if (state->imageIndex >= state->imageCount || state->imageIndex < 0)
            state->imageIndex = 0;
    }
    state->reloadPending = 1;
    return 3;
}
