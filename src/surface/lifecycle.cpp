// The exports that create, configure, persist and destroy a chip.
#include "chip/chip_state.h"
#include "chip/saved_settings.h"
#include "commands/configure.h"
#include "commands/settings_dialog.h"
#include "surface/exports.h"

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
        ConfigureChip(chip, lock.state, window, info);
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
