// The file-open dialog that adds pictures to a chip's text.
#pragma once

#include <windows.h>

#include <cstddef>

#include "plugin_host/loader_registry.h"
#include "chip/path_list.h"
#include "common/owners.h"

// The dialog's file-type filter into *filter, its exact length in bytes:
// "all image files" with every pattern, then each loader's description and
// pattern, then the closing zero. False when its memory cannot be had.
bool BuildFileFilter(LoaderList loaders, HeapArray<char>* filter);

// The folder the dialog opens in: the last line of the text without its file
// name, or the whole line for a path in a drive's root or without any "\".
// Empty (none) when the text has no line or its last line does not fit.
void InitialFolder(const char* text, char (&folder)[kPathBufferSize]);

// Lets the user add pictures to the text of the host's ChipEditInfo record.
// Returns 1 when the text was replaced, 2 when it was left as it was (the
// user cancelled, the dialog failed, or the new text could not be made). The
// old block is freed only once its replacement exists, so the host is never
// left without a valid text; the new one is the host's.
int EditChipText(HWND owner, void* info, LoaderList loaders);

// The old text rebuilt as its lines, each followed by CR LF, into out (which
// may be null to measure). Returns the length without a terminating zero.
size_t RebuildText(const char* text, char* out);
