// The modal dialog that edits a chip's slideshow interval, unit and order.
#pragma once

#include <windows.h>

#include "chip/chip_state.h"

// Runs the dialog for chip, owned by window, and returns when it closes.
// Returns true when the host destroyed the chip from inside the dialog's
// loop; the caller must then free it once its own lock is gone.
bool RunSlideshowSettings(ChipHandle chip, HWND window);

// Called by UnInitializeChip: true when chip's dialog is open, in which case
// the dialog is ended and the chip is freed by the command that opened it.
bool DeferDestroyWhileSettingsOpen(ChipHandle chip);

// The interval field's text as a number: leading blanks, an optional sign,
// then digits up to the first other character; no digits gives 0. Values
// beyond the 32-bit range are held at its ends.
int ParseInterval(const char* text);
