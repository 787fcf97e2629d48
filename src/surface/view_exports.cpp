// The exports through which the host sizes and paints a chip.
#include "surface/chip_lock.h"
#include "surface/exports.h"
#include "surface/module_state.h"
#include "view/paint.h"
#include "view/view_mode.h"

// Writes the display size through size[0] and size[1]; returns 0.
int CHIPAPI CalcDefaultRect(ChipHandle chip, HWND window, int* size, const char* text)
{
    ChipLock lock(chip);
    if (lock.state)
        DefaultSize(lock.state, window, size, text, g_module.loaders);
    return 0;
}

// The chip window changed size. Returns 0 when a stretched fit followed it,
// else 1.
int CHIPAPI Resize(ChipHandle chip, HWND window)
{
    ChipLock lock(chip);
    return lock.state ? FollowClientSize(lock.state, window) : 1;
}

// Paints the chip into dc; returns 1.
int CHIPAPI DrawChip(ChipHandle chip, HWND window, HDC dc, const char* text)
{
    ChipLock lock(chip);
    if (lock.state)
        PaintChip(lock.state, window, dc, text, g_module.loaders);
    return 1;
}
