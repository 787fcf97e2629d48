#include "commands/configure.h"

#include "chip/chip_random.h"
#include "chip/host_records.h"
#include "chip/saved_settings.h"
#include "commands/dispatch.h"
#include "resource.h"
#include "sources/loaders.h"
#include "sources/path_list.h"
#include "view/view_mode.h"

// Only view modes are taken: 10007-10009 would change the picture, toggle
// the slideshow or open a dialog from inside Update.
static void RestoreViewMode(ChipHandle chip, ChipState* state, HWND window, int mode)
{
    if (IsViewMode(mode))
        ExecuteCommand(chip, state, window, mode);
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

void ConfigureChip(ChipHandle chip, ChipState* state, HWND window, const void* info)
{
    ResetSlideshowDefaults(state);
    const char* text = info ? static_cast<const char*>(ReadPointerAt(info, kUpdateText)) : nullptr;
    if (!text)
        return;

    SeedChipRandomFromClock();
    state->imageCount = CountPathLines(text);
    state->imageIndex = state->imageCount > 0 ? ChipRandom() % state->imageCount : 0;
    const BYTE* saved = static_cast<const BYTE*>(ReadPointerAt(info, kUpdateSavedBlock));
    bool loaded = state->imageCount > 0 ? LoadCurrentPicture(state, window, text, ModeAfterRestore(state, saved))
                                        : ReplacePicture(state, nullptr);
    state->loadFailed = loaded ? 0 : 1;
    state->background = static_cast<COLORREF>(ReadIntAt(info, kUpdateBackground));

    RestoreSavedSettings(chip, state, window, saved);

    if (ReadIntAt(info, kUpdateKeepPicture) == 0)
        ReleasePictures(state);
}

void WriteSavedSettings(const ChipState* state, BYTE* block)
{
    WriteIntAt(block, kSavedPayloadSize, 20);
    WriteIntAt(block, kSavedViewMode, state->viewMode);
    WriteIntAt(block, kSavedInterval, state->interval);
    WriteIntAt(block, kSavedUnit, state->unitIsOne);
    WriteIntAt(block, kSavedRunning, state->running);
    WriteIntAt(block, kSavedRandom, state->randomOrder);
    WriteIntAt(block, kSavedUnused, 0);
}
