// ConfigurationDlg: the plug-in's About box and its settings dialog, as
// Susie hosts open them from their plug-in lists.
#include <windows.h>

#include "settings.h"
#include "syscodec_res.h"

#define PLUGIN_EXPORT extern "C" __declspec(dllexport)

static HINSTANCE PluginInstance()
{
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&PluginInstance), &self);
    return self;
}

static INT_PTR CALLBACK SettingsProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: {
        CodecSettings settings = ReadCodecSettings();
        CheckDlgButton(dialog, IDC_APPLY_ORIENTATION, settings.applyOrientation ? BST_CHECKED : BST_UNCHECKED);
        CheckDlgButton(dialog, IDC_USE_COLOR_PROFILE, settings.useColorProfile ? BST_CHECKED : BST_UNCHECKED);
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            CodecSettings settings = {IsDlgButtonChecked(dialog, IDC_APPLY_ORIENTATION) == BST_CHECKED,
                                      IsDlgButtonChecked(dialog, IDC_USE_COLOR_PROFILE) == BST_CHECKED};
            WriteCodecSettings(settings);
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

// fnc 0: the About box; 1: the settings dialog. Returns 0, or -1 for a
// function this plug-in does not have (and when the dialog cannot be shown).
PLUGIN_EXPORT int WINAPI ConfigurationDlg(HWND parent, int fnc)
{
    if (fnc == 0) {
        MessageBoxW(parent,
                    L"ifsyscodec.spi\n"
                    L"Windows \x306e\x753b\x50cf\x30b3\x30fc\x30c7\x30c3\x30af\x3067\x753b\x50cf\x3092"
                    L"\x8aad\x3080 Susie Plug-in (Ovilune)",
                    L"ifsyscodec.spi", MB_OK | MB_ICONINFORMATION);
        return 0;
    }
    if (fnc != 1)
        return -1;
    INT_PTR shown = DialogBoxParamA(PluginInstance(), MAKEINTRESOURCEA(IDD_CODEC_SETTINGS), parent, SettingsProc, 0);
    return shown == -1 ? -1 : 0;
}
