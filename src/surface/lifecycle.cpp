#include "surface/lifecycle.h"

#include "commands/command_ids.h"
#include "commands/settings_dialog.h"
#include "sources/loaders.h"
#include "sources/path_list.h"
#include "surface/chip_random.h"
#include "surface/exports.h"
#include "surface/host_records.h"
#include "view/view_mode.h"

void DestroyChip(ChipHandle chip)
{
    {
        ChipLock lock(chip);
        if (!lock.state)
            return;
        ReleasePictures(lock.state);
    }
    LocalFree(chip);
}

// Stores the new chip's handle through chipOut and configures it; returns 0.
// Without memory the handle stored is null, which every export accepts.
int CHIPAPI InitializeChip(ChipHandle* chipOut, HWND window, const void* info)
{
    ChipHandle chip = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, sizeof(ChipState));
    if (!chipOut) {
        // Nowhere to hand the chip to: it could never be destroyed.
        if (chip)
            LocalFree(chip);
        return 0;
    }
    *chipOut = chip;
    Update(chip, window, info);
    return 0;
}

int CHIPAPI UnInitializeChip(ChipHandle chip)
{
    // Destroyed from inside its own settings dialog: the command that opened
    // the dialog still holds the record and frees it when the dialog is gone.
    if (DeferDestroyWhileSettingsOpen(chip))
        return 0;
    DestroyChip(chip);
    return 0;
}

// Applies a saved view mode through the command dispatch, as a user's choice
// would be. Only view modes are taken: 10007-10009 would change the picture,
// toggle the slideshow or open a dialog from inside Update.
static void RestoreViewMode(ChipHandle chip, ChipState* state, HWND window, int mode)
{
    if (IsViewMode(mode))
        DoDrawExMenu(chip, window, mode);
    else
        state->reloadPending = 0;
}

static void RestoreSavedSettings(ChipHandle chip, ChipState* state, HWND window, const BYTE* block)
{
    int payload = block ? ReadIntAt(block, kSavedPayloadSize) : 0;
    if (payload == 20) {
        state->interval = ReadIntAt(block, kSavedInterval);
        state->unitIsOne = ReadIntAt(block, kSavedUnit);
        state->running = ReadIntAt(block, kSavedRunning);
        state->randomOrder = ReadIntAt(block, kSavedRandom);
        RestartCountdown(state);
        RestoreViewMode(chip, state, window, ReadIntAt(block, kSavedViewMode));
    } else if (payload == 4) {
        RestoreViewMode(chip, state, window, ReadIntAt(block, kSavedViewMode));
    } else {
        state->reloadPending = 0;
        state->displayWidth = state->imageWidth;
        state->displayHeight = state->imageHeight;
        state->viewMode = IDM_ZOOM100;
    }
}

// Configures the chip from the host's record: its text, background and
// saved settings. Returns 1. A null record counts as one without a text.
int CHIPAPI Update(ChipHandle chip, HWND window, const void* info)
{
    ChipLock lock(chip);
    ChipState* state = lock.state;
    if (!state)
        return 1;
    ResetSlideshowDefaults(state);
    const char* text = info ? static_cast<const char*>(ReadPointerAt(info, kUpdateText)) : nullptr;
    if (!text)
        return 1;

    DropPicture(state);
    SeedChipRandomFromClock();
    state->imageCount = CountPathLines(text);
    HBITMAP bitmap = nullptr;
    if (state->imageCount > 0) {
        state->imageIndex = ChipRandom() % state->imageCount;
        char path[kPathBufferSize];
        GetPathLine(text, state->imageIndex, path);
        bitmap = LoadImageFile(window, path, g_loaders);
    } else {
        state->imageIndex = 0;
    }
    state->loadFailed = ReplacePicture(state, bitmap) ? 0 : 1;
    state->background = static_cast<COLORREF>(ReadIntAt(info, kUpdateBackground));

    RestoreSavedSettings(chip, state, window,
                         static_cast<const BYTE*>(ReadPointerAt(info, kUpdateSavedBlock)));

    if (ReadIntAt(info, kUpdateKeepPicture) == 0)
        ReleasePictures(state);
    return 1;
}

// Resizes the host's block to 28 bytes and writes the chip's settings into
// it; returns 1. The handle is written back only when the resize worked, so
// a failure leaves the host with its old, valid block.
int CHIPAPI GetSaveData(ChipHandle chip, void* /*ignored*/, HGLOBAL* block)
{
    ChipLock lock(chip);
    const ChipState* state = lock.state;
    if (!state || !block || !*block)
        return 1;
    HGLOBAL resized = GlobalReAlloc(*block, kSavedBlockSize, GMEM_MOVEABLE | GMEM_NOCOMPACT);
    if (!resized)
        return 1;
    *block = resized;
    BYTE* bytes = static_cast<BYTE*>(GlobalLock(resized));
    if (!bytes)
        return 1;
    WriteIntAt(bytes, kSavedPayloadSize, 20);
    WriteIntAt(bytes, kSavedViewMode, state->viewMode);
    WriteIntAt(bytes, kSavedInterval, state->interval);
    WriteIntAt(bytes, kSavedUnit, state->unitIsOne);
    WriteIntAt(bytes, kSavedRunning, state->running);
    WriteIntAt(bytes, kSavedRandom, state->randomOrder);
    WriteIntAt(bytes, kSavedRandom + 4, 0);
    GlobalUnlock(resized);
    return 1;
}

// With flag 0 the chip lets go of its picture (and the painted copy); the
// next paint loads it again.
void CHIPAPI Zoom(ChipHandle chip, void* /*ignored*/, int flag)
{
    ChipLock lock(chip);
    if (!lock.state || flag != 0)
        return;
    ReleasePictures(lock.state);
}
