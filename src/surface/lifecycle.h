// Creating, configuring, saving and destroying chips.
#pragma once

#include "surface/chip_state.h"

// Deletes the chip's pictures and frees its block.
void DestroyChip(ChipHandle chip);

// The saved settings block: a payload size, then the payload.
enum SavedSettingsOffset {
    kSavedPayloadSize = 0,
    kSavedViewMode = 4,
    kSavedInterval = 8,
    kSavedUnit = 12,
    kSavedRunning = 16,
    kSavedRandom = 20,
    kSavedBlockSize = 28,
};
