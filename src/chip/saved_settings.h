// The saved settings block the host stores for each chip: a payload size,
// then the payload. Blocks of payload 20 hold everything, of payload 4 the
// view mode alone; any other block is a new chip's.
#pragma once

enum SavedSettingsOffset {
    kSavedPayloadSize = 0,
    kSavedViewMode = 4,
    kSavedInterval = 8,
    kSavedUnit = 12,
    kSavedRunning = 16,
    kSavedRandom = 20,
    kSavedUnused = 24,  // written as 0
    kSavedBlockSize = 28,
};
