// The chip's context menu.
#pragma once

#include <windows.h>

#include "chip/chip_state.h"

// A new menu for the chip, the host's to show and destroy; null when it
// cannot be made. The view modes, then, with two pictures or more, the
// picture and slideshow commands; the current mode and a running slideshow
// checked; the settings command grayed while settingsOpen (one chip's
// settings dialog at a time).
HMENU BuildContextMenu(const ChipState* state, bool settingsOpen);
