#include "surface/chip_lock.h"

#include "view/paint.h"

ChipLock::ChipLock(ChipHandle h) : handle(h), state(nullptr)
{
    if (!handle)
        return;
    // A handle that is not one of our blocks must not be written through as
    // if it were; the size check catches the foreign blocks LocalLock accepts.
    if (LocalSize(handle) < sizeof(ChipState))
        return;
    state = static_cast<ChipState*>(LocalLock(handle));
    if (state)
        state->holders++;
}

static void FreeChip(ChipHandle chip, ChipState* state)
{
    ReleasePictures(state);
    LocalUnlock(chip);
    LocalFree(chip);
}

ChipLock::~ChipLock()
{
    if (!state)
        return;
    if (--state->holders == 0 && state->destroyPending) {
        FreeChip(handle, state);
        return;
    }
    LocalUnlock(handle);
}

void DestroyChip(ChipHandle chip)
{
    ChipLock lock(chip);
    if (lock.state)
        lock.state->destroyPending = 1;
}
