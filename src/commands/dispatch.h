// The chip's menu commands, as the host's menu or the library itself gives
// them.
#pragma once

#include <windows.h>

#include "chip/chip_state.h"

// Executes command id on the locked chip. Returns 3 when the display size may
// have changed, 1 when only the picture must be repainted, 0 when nothing
// visible changed. Every command cancels a pending reload. The settings
// dialog's template comes from instance.
int ExecuteCommand(ChipHandle chip, ChipState* state, HWND window, int id, HINSTANCE instance);

// Moves to another picture than the current one, drawn with ChipRandom, to
// be loaded at the next size query or paint. Returns 3, or 0 with fewer than
// two pictures (nothing changes then).
int ChangeImage(ChipState* state);
