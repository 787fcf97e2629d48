// The modal dialog that edits a chip's slideshow interval, unit and order.
#pragma once

#include <windows.h>

#include "chip/chip_state.h"

// Runs the dialog (from instance's templates) for chip, whose record `state`
// the caller holds locked until it returns, owned by window; returns when
// it closes.
void RunSlideshowSettings(ChipHandle chip, ChipState* state, HWND window, HINSTANCE instance);

// The chip whose settings dialog is open, null when none is.
ChipHandle SettingsChip();

// Called by UnInitializeChip: a dialog open for chip is ended, as nothing is
// left for it to edit. The command that opened it still holds the chip, and
// the chip's end waits for that command to let go.
void CloseSettingsOf(ChipHandle chip);

// The interval field's text as a number: leading blanks, an optional sign,
// then digits up to the first other character; no digits gives 0. Values
// beyond the 32-bit range are held at its ends.
int ParseInterval(const char* text);
