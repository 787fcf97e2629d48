// The rule by which every export reaches its chip, and the chip's end.
#pragma once

#include <windows.h>

#include "chip/chip_state.h"

// Locks a chip for the length of one call. Locks nest, so an export reached
// again from inside another (the settings dialog's message loop, a plug-in
// that pumps messages) simply locks once more. The last lock to go destroys
// a chip whose end was asked for meanwhile. A null handle, a block that
// does not lock or one too small to be ours gives a null state.
struct ChipLock {
    explicit ChipLock(ChipHandle handle);
    ~ChipLock();
    ChipLock(const ChipLock&) = delete;
    ChipLock& operator=(const ChipLock&) = delete;

    ChipHandle handle;
    ChipState* state;
};

// Ends the chip: at once when nothing holds it, else when its last lock goes.
void DestroyChip(ChipHandle chip);
