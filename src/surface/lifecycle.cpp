// The exports that create, configure, persist and destroy a chip.
#include "chip/chip_random.h"
#include "chip/chip_state.h"
#include "chip/host_records.h"
#include "chip/saved_settings.h"
#include "commands/settings_dialog.h"
#include "resource.h"
#include "showing/current_picture.h"
#include "chip/path_list.h"
#include "showing/read_ahead.h"
#include "surface/chip_lock.h"
#include "surface/exports.h"
#include "surface/module_state.h"
#include "view/paint.h"
#include "view/view_mode.h"

// Only view modes are taken: 10007-10009 would change the picture, toggle
// the slideshow or open a dialog from inside Update.
static void RestoreViewMode(ChipState* state, HWND window, int mode)
{
    state->reloadPending = 0;
    ApplyViewMode(state, window, mode);
}

static void RestoreSavedSettings(ChipState* state, HWND window, const BYTE* block)
{
    int payload = block ? ReadIntAt(block, kSavedPayloadSize) : 0;
    if (payload == 20) {
        state->interval = ReadIntAt(block, kSavedInterval);
        state->unitIsOne = ReadIntAt(block, kSavedUnit);
        state->running = ReadIntAt(block, kSavedRunning);
        state->randomOrder = ReadIntAt(block, kSavedRandom);
        RestartCountdown(state);
        RestoreViewMode(state, window, ReadIntAt(block, kSavedViewMode));
    } else if (payload == 4) {
        RestoreViewMode(state, window, ReadIntAt(block, kSavedViewMode));
    } else {
        state->reloadPending = 0;
        state->displayWidth = state->imageWidth;
        state->displayHeight = state->imageHeight;
        state->viewMode = IDM_ZOOM100;
    }
}

// The view mode the chip will have once its saved settings are restored, so
// that the picture is loaded as that mode holds it.
static int ModeAfterRestore(const ChipState* state, const BYTE* block)
{
    int payload = block ? ReadIntAt(block, kSavedPayloadSize) : 0;
    if (payload != 20 && payload != 4)
        return IDM_ZOOM100;
    int mode = ReadIntAt(block, kSavedViewMode);
    return IsViewMode(mode) ? mode : state->viewMode;
}

// Takes the text, background and saved settings of the host's
// ChipUpdateInfo record (null: a record without a text): counts the
// pictures, starts on one at random, loads it as the saved view mode holds
// it and restores that mode.
static void ConfigureChip(ChipState* state, HWND window, const void* info, LoaderList loaders)
{
    // Read ahead for the old text, colour or slideshow.
    DropPreparedPicture(state);
    ResetSlideshowDefaults(state);
    const char* text = info ? static_cast<const char*>(ReadPointerAt(info, kUpdateText)) : nullptr;
    if (!text)
        return;

    SeedChipRandomFromClock();
    state->imageCount = CountPathLines(text);
    state->imageIndex = state->imageCount > 0 ? ChipRandom() % state->imageCount : 0;
    const BYTE* saved = static_cast<const BYTE*>(ReadPointerAt(info, kUpdateSavedBlock));
    // Taken before the picture is loaded: a picture with transparency is
    // composed over it as it is read, so a new colour costs no second read.
    state->background = static_cast<COLORREF>(ReadIntAt(info, kUpdateBackground));
    bool loaded = state->imageCount > 0 ? LoadCurrentPicture(state, window, text, ModeAfterRestore(state, saved), loaders)
                                        : ReplacePicture(state, nullptr);
    state->loadFailed = loaded ? 0 : 1;

    RestoreSavedSettings(state, window, saved);

    if (ReadIntAt(info, kUpdateKeepPicture) == 0)
        ReleasePictures(state);
}

// Writes the chip's settings into a saved settings block of
// kSavedBlockSize bytes.
static void WriteSavedSettings(const ChipState* state, BYTE* block)
{
    WriteIntAt(block, kSavedPayloadSize, 20);
    WriteIntAt(block, kSavedViewMode, state->viewMode);
    WriteIntAt(block, kSavedInterval, state->interval);
    WriteIntAt(block, kSavedUnit, state->unitIsOne);
    WriteIntAt(block, kSavedRunning, state->running);
    WriteIntAt(block, kSavedRandom, state->randomOrder);
    WriteIntAt(block, kSavedUnused, 0);
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

// Ends the chip. Reached from inside one of the chip's own exports (its
// settings dialog's loop, a plug-in that pumps messages), the record is
// freed when that export returns.
int CHIPAPI UnInitializeChip(ChipHandle chip)
{
    CloseSettingsOf(chip);
    DestroyChip(chip);
    return 0;
}

// Configures the chip from the host's record: its text, background and
// saved settings. Returns 1. A null record counts as one without a text.
int CHIPAPI Update(ChipHandle chip, HWND window, const void* info)
{
    ChipLock lock(chip);
    if (lock.state)
        ConfigureChip(lock.state, window, info, g_module.loaders);
    return 1;
}

// Resizes the host's block to 28 bytes and writes the chip's settings into
// it; returns 1. The handle is written back only when the resize worked, so
// a failure leaves the host with its old, valid block.
int CHIPAPI GetSaveData(ChipHandle chip, void* /*ignored*/, HGLOBAL* block)
{
    ChipLock lock(chip);
    if (!lock.state || !block || !*block)
        return 1;
    HGLOBAL resized = GlobalReAlloc(*block, kSavedBlockSize, GMEM_MOVEABLE | GMEM_NOCOMPACT);
    if (!resized)
        return 1;
    *block = resized;
    BYTE* bytes = static_cast<BYTE*>(GlobalLock(resized));
    if (!bytes)
        return 1;
    WriteSavedSettings(lock.state, bytes);
    GlobalUnlock(resized);
    return 1;
}

// With flag 0 the chip lets go of its picture (and the painted copy); the
// next paint loads it again.
void CHIPAPI Zoom(ChipHandle chip, void* /*ignored*/, int flag)
{
    ChipLock lock(chip);
    if (lock.state && flag == 0)
        ReleasePictures(lock.state);
}
