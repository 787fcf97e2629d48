#include "commands/settings_dialog.h"

#include <commctrl.h>

#include <climits>

#include "resource.h"
#include "chip/texts.h"

// Up-down range: upper bound 1000 in the low word, lower bound 1 in the high.
static const LPARAM kSpinRange = MAKELPARAM(1000, 1);
// What the user can type into the interval field.
static const int kIntervalChars = 4;

// The one settings dialog open at a time, and the chip it edits: set while
// the dialog runs, by it alone.
static HWND g_settingsDialog = nullptr;
static ChipHandle g_settingsChip = nullptr;
// Its record, held locked by the command that runs the dialog.
static ChipState* g_settingsState = nullptr;

ChipHandle SettingsChip()
{
    return g_settingsChip;
}

int ParseInterval(const char* text)
{
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        value = value * 10 + (*p - '0');
        if (value > INT_MAX) {
            value = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
            break;
        }
    }
    return static_cast<int>(negative ? -value : value);
}

static void InitSettings(HWND dialog)
{
    g_settingsDialog = dialog;
    const ChipState* state = g_settingsState;

    char number[16];
    wsprintfA(number, "%d", state ? state->interval : 0);
    SetDlgItemTextA(dialog, IDC_INTERVAL, number);
    SendDlgItemMessageA(dialog, IDC_INTERVAL, EM_LIMITTEXT, kIntervalChars, 0);

    SendDlgItemMessageA(dialog, IDC_UNIT, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("X 1"));
    SendDlgItemMessageA(dialog, IDC_UNIT, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("X 10"));
    SendDlgItemMessageA(dialog, IDC_UNIT, CB_SETCURSEL, state && !state->unitIsOne ? 1 : 0, 0);

    SendDlgItemMessageA(dialog, IDC_SPIN, UDM_SETRANGE, 0, kSpinRange);
    CheckDlgButton(dialog, IDC_RANDOM, state && state->randomOrder ? BST_CHECKED : BST_UNCHECKED);
}

static void AcceptSettings(HWND dialog)
{
    ChipState* state = g_settingsState;
    if (!state) {
        EndDialog(dialog, IDCANCEL);
        return;
    }
    // The field takes four typed characters, but a saved interval can be
    // longer: read all that is shown, so nothing the user sees is dropped.
    char text[16];
    GetDlgItemTextA(dialog, IDC_INTERVAL, text, sizeof(text));
    int interval = ParseInterval(text);
    if (interval == 0) {
        MessageBoxA(dialog, kTextZeroInterval, kTextCaption, MB_ICONEXCLAMATION);
        return;
    }
    state->interval = interval;
    state->unitIsOne = SendDlgItemMessageA(dialog, IDC_UNIT, CB_GETCURSEL, 0, 0) == 0 ? 1 : 0;
    state->randomOrder = IsDlgButtonChecked(dialog, IDC_RANDOM) == BST_CHECKED ? 1 : 0;
    EndDialog(dialog, IDOK);
}

static INT_PTR CALLBACK SettingsProc(HWND dialog, UINT message, WPARAM wParam, LPARAM /*lParam*/)
{
    switch (message) {
    case WM_INITDIALOG:
        InitSettings(dialog);
        return TRUE;  // the system gives the focus
    case WM_COMMAND:
        if (wParam == IDOK) {
            AcceptSettings(dialog);
            return TRUE;
        }
        if (wParam == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}

void RunSlideshowSettings(ChipHandle chip, ChipState* state, HWND window, HINSTANCE instance)
{
    g_settingsChip = chip;
    g_settingsState = state;
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_SLIDESHOW), window, SettingsProc, 0);
    g_settingsDialog = nullptr;
    g_settingsState = nullptr;
    g_settingsChip = nullptr;
}

void CloseSettingsOf(ChipHandle chip)
{
    if (chip && chip == g_settingsChip && g_settingsDialog)
        EndDialog(g_settingsDialog, IDCANCEL);
}
