// The export through which the host lets the user add pictures to a chip.
#include "commands/image_picker.h"
#include "surface/exports.h"
#include "surface/module_state.h"

// Returns 1 when the chip's text in the host's record was replaced (the new
// block is the host's), 2 when it was left as it was.
int CHIPAPI EditHelper(HWND owner, void* info)
{
    return EditChipText(owner, info, g_module.loaders);
}
