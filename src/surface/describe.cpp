// The entry points through which the library describes itself, and those it
// answers with a fixed result.
#include <cstring>

#include "chip/host_records.h"
#include "chip/texts.h"
#include "resource.h"
#include "surface/exports.h"
#include "surface/module_state.h"

// The numbers the host expects after the name in this kind's description.
// What they stand for is the host's business; they are given as it wants them.
static const int kSpecNumberValues[] = {110, 2, 252};

// Fills the host's description of the chip kind; nothing else in the record
// is touched. Returns 0.
int CHIPAPI DrawExSpecification(void* record)
{
    if (!record)
        return 0;
    WriteIntAt(record, kSpecWidth, 256);
    WriteIntAt(record, kSpecHeight, 256);
    lstrcpyA(static_cast<char*>(record) + kSpecName, kTextCaption);
    for (size_t i = 0; i < sizeof(kSpecNumberValues) / sizeof(kSpecNumberValues[0]); i++)
        WriteIntAt(record, kSpecNumbers + 4 * i, kSpecNumberValues[i]);
    return 0;
}

// The library has no settings of its own, and says so. Returns 0.
int CHIPAPI DrawExConfigure(HWND owner)
{
    MessageBoxA(owner, kTextNoSettings, kTextCaption, MB_ICONINFORMATION);
    return 0;
}

// Ends on OK or Cancel. Answers 0 to everything, WM_INITDIALOG included, so
// no control is given the focus.
static INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM /*lParam*/)
{
    if (message == WM_COMMAND && (wParam == IDOK || wParam == IDCANCEL))
        EndDialog(dialog, 1);
    return FALSE;
}

int CHIPAPI DrawExAbout(HWND owner)
{
    DialogBoxParamA(g_module.instance, MAKEINTRESOURCEA(IDD_ABOUT), owner, AboutProc, 0);
    return 0;
}

int CHIPAPI MouseClik(void)
{
    return 1;
}

int CHIPAPI ExchangeSendString(void)
{
    return 0;
}

// A chip of this kind has no memo text: an empty one is written.
int CHIPAPI GetMemoString(void* /*ignored*/, char* buffer, int length)
{
    if (buffer && length >= 1)
        buffer[0] = '\0';
    return 0;
}
