// A chip-drawing library as its host sees it: the nineteen exports found by
// name, and the host's records laid out at their byte offsets. Pointer and
// handle fields are pointer-wide, so this serves 32- and 64-bit hosts.
#pragma once

#include <windows.h>

#include <string>

struct DxlApi {
    HMODULE module;
    int (__cdecl* DrawExSpecification)(void* record);
    int (__cdecl* DrawExConfigure)(HWND owner);
    int (__cdecl* DrawExAbout)(HWND owner);
    int (__cdecl* InitializeChip)(HLOCAL* chip, HWND window, const void* info);
    int (__cdecl* UnInitializeChip)(HLOCAL chip);
    int (__cdecl* Update)(HLOCAL chip, HWND window, const void* info);
    int (__cdecl* GetSaveData)(HLOCAL chip, void* ignored, HGLOBAL* block);
    void (__cdecl* Zoom)(HLOCAL chip, void* ignored, int flag);
    int (__cdecl* CalcDefaultRect)(HLOCAL chip, HWND window, int* size, const char* text);
    int (__cdecl* Resize)(HLOCAL chip, HWND window);
    int (__cdecl* DrawChip)(HLOCAL chip, HWND window, HDC dc, const char* text);
    HMENU (__cdecl* GetDrawExMenu)(HLOCAL chip);
    int (__cdecl* DoDrawExMenu)(HLOCAL chip, HWND window, int id);
    int (__cdecl* GetTimerSpan)(HLOCAL chip);
    int (__cdecl* DoTimer)(HLOCAL chip);
    int (__cdecl* EditHelper)(HWND owner, void* info);
    int (__cdecl* MouseClik)(int, int, int, int);
    int (__cdecl* ExchangeSendString)(int, int, int, int);
    int (__cdecl* GetMemoString)(void* ignored, char* buffer, int length);
};

// Loads the library and finds every export. On failure the library is not
// kept, and *error says what went wrong (the file, or the missing export).
bool LoadDxlApi(DxlApi* api, const std::string& path, std::string* error);
void UnloadDxlApi(DxlApi* api);

// ChipUpdateInfo: text at 72, background at 80, keep-picture flag at 144,
// the saved block's address at 148.
struct ChipUpdateInfo {
    BYTE bytes[160];
};
ChipUpdateInfo MakeChipUpdateInfo(const char* text, COLORREF background, int keepPicture,
                                  const void* savedBlock);

// ChipEditInfo: status at 0, text length at 4, text handle at 8.
struct ChipEditInfo {
    BYTE bytes[16];
};
ChipEditInfo MakeChipEditInfo(HGLOBAL text);
HGLOBAL ChipEditText(const ChipEditInfo& info);
int ChipEditInt(const ChipEditInfo& info, size_t offset);
