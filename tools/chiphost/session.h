// One chip as a host keeps it: the library's handle, the chip's window, its
// text, background and saved settings, and the host's side of the protocol.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/dxl_api.h"

struct ChipSession {
    DxlApi* api;
    HLOCAL chip;
    HWND window;
    std::string text;
    std::vector<BYTE> block;  // the SavedSettings block as the host stores it
    COLORREF background;
};

// Sets the window's client area to width x height (at least 1 x 1).
void SetClientSize(HWND window, int width, int height);

// Creates the chip in session->window from its text, background and block.
bool StartChip(ChipSession* session, int keepPicture);

// Configures the chip again, as after its text was edited.
void UpdateChip(ChipSession* session, int keepPicture);

// What a host does with a result of DoDrawExMenu or DoTimer: 3 asks the
// chip's default size and resizes its window to it, 1 repaints it.
void ActOnResult(ChipSession* session, int result);

// The block GetSaveData writes.
std::vector<BYTE> SaveSettings(ChipSession* session);

// The view mode as the saved settings give it, 0 when none.
int SavedViewMode(const std::vector<BYTE>& block);

// The chip's lines, by the library's rule (CR and LF separate, empty lines
// do not exist).
std::vector<std::string> TextLines(const std::string& text);

