#include <doctest.h>

#include <windows.h>
#include <commctrl.h>

#include "commands/settings_dialog.h"
#include "resource.h"
#include "test_support.h"

static const wchar_t kSettingsCaption[] = L"スライドショーの設定";

static bool IsSettingsDialog(HWND dialog)
{
    return dialog && WindowTextW(dialog) == kSettingsCaption;
}

static void Press(HWND dialog, int id)
{
    PostMessageA(dialog, WM_COMMAND, id, 0);
}

static std::string ComboItem(HWND combo, int index)
{
    char text[32] = "";
    SendMessageA(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text));
    return text;
}

static std::string TwoPictures()
{
    return TestPictures().p100x50 + "\r\n" + TestPictures().p20x10;
}

struct SettingsRun {
    int phase;
    TestChip* chip;
    TestChip* other;
    bool sawDialog;
};

// Reads the controls as the dialog opened, calls the chip's exports from
// inside the dialog's loop, then enters 20 / "X 10" / random and presses OK.
static bool FillAndAccept(HWND dialog, void* context)
{
    SettingsRun* run = static_cast<SettingsRun*>(context);
    if (!IsSettingsDialog(dialog))
        return false;
    run->sawDialog = true;
    CHECK(GetDlgItemInt(dialog, IDC_INTERVAL, nullptr, TRUE) == 3);
    CHECK(SendDlgItemMessageA(dialog, IDC_INTERVAL, EM_GETLIMITTEXT, 0, 0) == 4);
    HWND unit = GetDlgItem(dialog, IDC_UNIT);
    CHECK(SendMessageA(unit, CB_GETCOUNT, 0, 0) == 2);
    CHECK(ComboItem(unit, 0) == "X 1");
    CHECK(ComboItem(unit, 1) == "X 10");
    CHECK(SendMessageA(unit, CB_GETCURSEL, 0, 0) == 0);
    CHECK(IsDlgButtonChecked(dialog, IDC_RANDOM) == BST_UNCHECKED);
    int low = 0, high = 0;
    SendDlgItemMessageA(dialog, IDC_SPIN, UDM_GETRANGE32, reinterpret_cast<WPARAM>(&low),
                        reinterpret_cast<LPARAM>(&high));
    CHECK(low == 1);
    CHECK(high == 1000);

    // The host reaches the same chip from the dialog's loop: the lock nests.
    CHECK(SettingsChip() == run->chip->handle);
    CHECK(GetTimerSpan(run->chip->handle) == 2);
    int size[2] = {0, 0};
    CHECK(CalcDefaultRect(run->chip->handle, run->chip->window, size, run->chip->text.c_str()) == 0);
    CHECK(size[0] > 0);
    CHECK(DoDrawExMenu(run->chip->handle, run->chip->window, IDM_ZOOM200) == 3);
    // A second dialog is refused while this one is open, for any chip.
    CHECK(DoDrawExMenu(run->other->handle, run->other->window, IDM_SLIDESHOW_SETTINGS) == 0);
    HMENU menu = GetDrawExMenu(run->other->handle);
    CHECK((GetMenuState(menu, IDM_SLIDESHOW_SETTINGS, MF_BYCOMMAND) & MF_GRAYED) != 0);
    DestroyMenu(menu);

    SetDlgItemTextA(dialog, IDC_INTERVAL, "20");
    SendMessageA(unit, CB_SETCURSEL, 1, 0);
    CheckDlgButton(dialog, IDC_RANDOM, BST_CHECKED);
    Press(dialog, IDOK);
    return true;
}

TEST_CASE("settings dialog: OK stores the interval, unit and order and restarts the countdown")
{
    TestChip chip(TwoPictures(), 200, 200);
    TestChip other(TwoPictures(), 200, 200);
    StateView(chip.handle)->ticksLeft = 1;
    SettingsRun run = {0, &chip, &other, false};
    ArmDialogDriver(FillAndAccept, &run);
    CHECK(DoDrawExMenu(chip.handle, chip.window, IDM_SLIDESHOW_SETTINGS) == 0);
    DisarmDialogDriver();
    CHECK(run.sawDialog);
    StateView state(chip.handle);
    CHECK(state->interval == 20);
    CHECK(state->unitIsOne == 0);
    CHECK(state->randomOrder == 1);
    CHECK(state->ticksLeft == 200);
    CHECK(state->viewMode == IDM_ZOOM200);
    CHECK(SettingsChip() == nullptr);
}

// Enters 0 and presses OK; the message box must come, the dialog stay.
static bool RefuseZero(HWND dialog, void* context)
{
    SettingsRun* run = static_cast<SettingsRun*>(context);
    switch (run->phase) {
    case 0:
        if (!IsSettingsDialog(dialog))
            return false;
        SetDlgItemTextA(dialog, IDC_INTERVAL, "0");
        CheckDlgButton(dialog, IDC_RANDOM, BST_CHECKED);
        Press(dialog, IDOK);
        run->phase = 1;
        return false;
    case 1: {
        HWND box = FindThreadDialog("Ovilune");
        if (!box)
            return false;
        // The message box's text is its static control 0xFFFF.
        CHECK(WindowTextW(GetDlgItem(box, 0xFFFF)) == L"切り替え時間が 0 です\n1 以上の値を設定して下さい。");
        run->sawDialog = true;
        Press(box, IDOK);
        run->phase = 2;
        return false;
    }
    default: {
        HWND settings = FindThreadDialog(nullptr);
        if (!IsSettingsDialog(settings))
            return false;
        CHECK(StateView(run->chip->handle)->interval == 3);
        Press(settings, IDCANCEL);
        return true;
    }
    }
}

TEST_CASE("settings dialog: 0 is refused with a message while the dialog stays; Cancel keeps the chip")
{
    TestChip chip(TwoPictures(), 200, 200);
    StateView(chip.handle)->ticksLeft = 2;
    SettingsRun run = {0, &chip, &chip, false};
    ArmDialogDriver(RefuseZero, &run);
    DoDrawExMenu(chip.handle, chip.window, IDM_SLIDESHOW_SETTINGS);
    DisarmDialogDriver();
    CHECK(run.sawDialog);
    StateView state(chip.handle);
    CHECK(state->interval == 3);
    CHECK(state->randomOrder == 0);
    CHECK(state->ticksLeft == 3);  // restarted though nothing was stored
    CHECK(SettingsChip() == nullptr);
}

static bool AcceptAsShown(HWND dialog, void* context)
{
    if (!IsSettingsDialog(dialog))
        return false;
    *static_cast<std::string*>(context) = WindowTextA(GetDlgItem(dialog, IDC_INTERVAL));
    Press(dialog, IDOK);
    return true;
}

TEST_CASE("settings dialog: a saved interval longer than four digits is kept as shown")
{
    SavedBlock block = {20, IDM_ZOOM100, 123456, 1, 0, 0, 0};
    TestChip chip(TwoPictures(), 200, 200, &block);
    std::string shown;
    ArmDialogDriver(AcceptAsShown, &shown);
    DoDrawExMenu(chip.handle, chip.window, IDM_SLIDESHOW_SETTINGS);
    DisarmDialogDriver();
    CHECK(shown == "123456");
    CHECK(StateView(chip.handle)->interval == 123456);
}

static bool DestroyFromInside(HWND dialog, void* context)
{
    if (!IsSettingsDialog(dialog))
        return false;
    HLOCAL chip = *static_cast<HLOCAL*>(context);
    CHECK(UnInitializeChip(chip) == 0);
    return true;
}

TEST_CASE("settings dialog: a chip destroyed from inside its dialog is freed when the dialog is gone")
{
    HWND window = CreateChipWindow(100, 100);
    HLOCAL chip = nullptr;
    std::string text = TwoPictures();
    UpdateRecord record = MakeUpdateRecord(text.c_str(), 0, 1, nullptr);
    InitializeChip(&chip, window, record.bytes);
    ArmDialogDriver(DestroyFromInside, &chip);
    CHECK(DoDrawExMenu(chip, window, IDM_SLIDESHOW_SETTINGS) == 0);
    DisarmDialogDriver();
    CHECK(SettingsChip() == nullptr);
    CHECK(LocalFlags(chip) == LMEM_INVALID_HANDLE);
    DestroyWindow(window);
}

TEST_CASE("settings dialog: the interval text reads like a classic signed decimal")
{
    CHECK(ParseInterval("20") == 20);
    CHECK(ParseInterval("  7x") == 7);
    CHECK(ParseInterval("-12") == -12);
    CHECK(ParseInterval("+5") == 5);
    CHECK(ParseInterval("") == 0);
    CHECK(ParseInterval("abc") == 0);
    CHECK(ParseInterval("99999999999") == 2147483647);
    CHECK(ParseInterval("-99999999999") == -2147483647 - 1);
}

struct AboutRun {
    int button;
    std::wstring caption;
    std::vector<std::wstring> texts;
};

static bool ReadAbout(HWND dialog, void* context)
{
    AboutRun* run = static_cast<AboutRun*>(context);
    if (!dialog || WindowTextW(dialog) != L"About Ovilune.DxL")
        return false;
    run->caption = WindowTextW(dialog);
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        run->texts.push_back(WindowTextW(child));
    Press(dialog, run->button);
    return true;
}

TEST_CASE("About box: its texts, closed with OK and with Cancel")
{
    for (int button : {IDOK, IDCANCEL}) {
        AboutRun run = {button, L"", {}};
        HWND owner = CreateChipWindow(100, 100);
        ArmDialogDriver(ReadAbout, &run);
        CHECK(DrawExAbout(owner) == 0);
        DisarmDialogDriver();
        DestroyWindow(owner);
        REQUIRE(run.texts.size() == 5);
        CHECK(run.texts[0] == L"OK");
        CHECK(run.texts[1].find(L" 小片描画拡張ライブラリィ － 画像表示(Susie Plugin利用)") != std::wstring::npos);
        CHECK(run.texts[4] == L"Version 1.31");
        const std::wstring& usage = run.texts[3];
        CHECK(usage.rfind(L"\x3000このライブラリは、小片に画像ファイルを表示するための物です。", 0) == 0);
        CHECK(usage.find(L"\n\n\x3000小片の内容は、") != std::wstring::npos);
        CHECK(usage.find(L"\n\n\x3000複数行の場合や、") != std::wstring::npos);
        CHECK(usage.find(L"\n\n\x3000Susie のレジストリから") != std::wstring::npos);
    }
}

static bool CloseConfigure(HWND dialog, void* context)
{
    if (!dialog || WindowTextA(dialog) != "Ovilune")
        return false;
    *static_cast<std::wstring*>(context) = WindowTextW(GetDlgItem(dialog, 0xFFFF));
    Press(dialog, IDOK);
    return true;
}

TEST_CASE("DrawExConfigure says there are no settings")
{
    std::wstring text;
    ArmDialogDriver(CloseConfigure, &text);
    CHECK(DrawExConfigure(nullptr) == 0);
    DisarmDialogDriver();
    CHECK(text == L"設定項目は有りません");
}
