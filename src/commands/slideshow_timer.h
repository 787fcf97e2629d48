// The slideshow on the host's timer.
#pragma once

#include "chip/chip_state.h"

// 2 (host timer units) for a chip with a list to step through, -1 for none.
int TimerSpan(const ChipState* state);

// One host tick. Returns 3 when the chip moved on to another picture (loaded
// at the next size query or paint), else 0.
int SlideshowTick(ChipState* state);
