// The nineteen entry points the host finds by name. All are __cdecl and
// exported undecorated through Ovilune.def; the host owns every record,
// text and block it passes in.
#pragma once

#include <windows.h>

#include "chip/chip_state.h"

#define CHIPAPI __cdecl

extern "C" {

// Part of the host's protocol: describe the chip kind, show our boxes.
int CHIPAPI DrawExSpecification(void* record);
int CHIPAPI DrawExConfigure(HWND owner);
int CHIPAPI DrawExAbout(HWND owner);

// Chip lifecycle.
int CHIPAPI InitializeChip(ChipHandle* chipOut, HWND window, const void* info);
int CHIPAPI UnInitializeChip(ChipHandle chip);
int CHIPAPI Update(ChipHandle chip, HWND window, const void* info);
int CHIPAPI GetSaveData(ChipHandle chip, void* ignored, HGLOBAL* block);
void CHIPAPI Zoom(ChipHandle chip, void* ignored, int flag);

// Size and painting.
int CHIPAPI CalcDefaultRect(ChipHandle chip, HWND window, int* size, const char* text);
int CHIPAPI Resize(ChipHandle chip, HWND window);
int CHIPAPI DrawChip(ChipHandle chip, HWND window, HDC dc, const char* text);

// Menu, commands and timer.
HMENU CHIPAPI GetDrawExMenu(ChipHandle chip);
int CHIPAPI DoDrawExMenu(ChipHandle chip, HWND window, int id);
int CHIPAPI GetTimerSpan(ChipHandle chip);
int CHIPAPI DoTimer(ChipHandle chip);

// Editing the text with the file dialog.
int CHIPAPI EditHelper(HWND owner, void* info);

// Inert: they read none of their arguments (the caller cleans the stack).
int CHIPAPI MouseClik(void);
int CHIPAPI ExchangeSendString(void);
int CHIPAPI GetMemoString(void* ignored, char* buffer, int length);

}
