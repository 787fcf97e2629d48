// A chip configured from the host's record, and its settings written back
// for the host to store.
#pragma once

#include <windows.h>

#include "chip/chip_state.h"

// Takes the text, background and saved settings of the host's
// ChipUpdateInfo record (null: a record without a text): counts the
// pictures, starts on one at random, loads it and restores the view mode
// through the command dispatch, as a user's choice would be.
void ConfigureChip(ChipHandle chip, ChipState* state, HWND window, const void* info);

// Writes the chip's settings into a saved settings block of
// kSavedBlockSize bytes.
void WriteSavedSettings(const ChipState* state, BYTE* block);
