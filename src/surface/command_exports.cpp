// The exports of the context menu, its commands and the slideshow timer.
#include "commands/context_menu.h"
#include "commands/dispatch.h"
#include "commands/settings_dialog.h"
#include "commands/slideshow_timer.h"
#include "surface/chip_lock.h"
#include "surface/exports.h"
#include "surface/module_state.h"

// A new menu, the host's to show and destroy; null when the chip cannot be
// reached or the menu cannot be made.
HMENU CHIPAPI GetDrawExMenu(ChipHandle chip)
{
    ChipLock lock(chip);
    return lock.state ? BuildContextMenu(lock.state, SettingsChip() != nullptr) : nullptr;
}

// Executes a menu command. Returns 3 when the display size may have
// changed, 1 when only the picture must be repainted, 0 when nothing
// visible changed.
int CHIPAPI DoDrawExMenu(ChipHandle chip, HWND window, int id)
{
    ChipLock lock(chip);
    return lock.state ? ExecuteCommand(chip, lock.state, window, id, g_module.instance) : 0;
}

// 2 (host timer units) for a chip with a list to step through, -1 for none.
int CHIPAPI GetTimerSpan(ChipHandle chip)
{
    ChipLock lock(chip);
    return lock.state ? TimerSpan(lock.state) : -1;
}

// One host tick. Returns 3 when the chip moved on to another picture, else 0.
int CHIPAPI DoTimer(ChipHandle chip)
{
    ChipLock lock(chip);
    return lock.state ? SlideshowTick(lock.state) : 0;
}
