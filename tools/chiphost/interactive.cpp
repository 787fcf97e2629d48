// chiphost run: one window per chip, its context menu, the host timer and a
// state file beside each list that keeps the chip's text and settings.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "common/dxl_api.h"
#include "common/files.h"
#include "options.h"
#include "session.h"

enum HostCommand {
    kHostAddPictures = 1,
    kHostAbout,
    kHostConfigure,
    kHostClose,
};

static const UINT_PTR kChipTimer = 1;

struct RunningChip {
    ChipSession session;
    std::string stateFile;
    int unitMs;
};

static int g_openChips;

// State file: "OVCS", the block's size and bytes, the text's size and bytes.
static bool ReadState(const std::string& path, ChipSession* session)
{
    std::string bytes;
    if (!ReadWholeFile(path, &bytes) || bytes.size() < 12 || bytes.compare(0, 4, "OVCS") != 0)
        return false;
    DWORD blockSize, textSize;
    memcpy(&blockSize, bytes.data() + 4, 4);
    if (blockSize > bytes.size() - 12)
        return false;
    memcpy(&textSize, bytes.data() + 8 + blockSize, 4);
    if (textSize != bytes.size() - 12 - blockSize)
        return false;
    session->block.assign(bytes.begin() + 8, bytes.begin() + 8 + blockSize);
    session->text = bytes.substr(12 + blockSize);
    return true;
}

static void WriteState(RunningChip* running)
{
    std::vector<BYTE> block = SaveSettings(&running->session);
    std::string bytes = "OVCS";
    DWORD size = static_cast<DWORD>(block.size());
    bytes.append(reinterpret_cast<const char*>(&size), 4);
    bytes.append(block.begin(), block.end());
    size = static_cast<DWORD>(running->session.text.size());
    bytes.append(reinterpret_cast<const char*>(&size), 4);
    bytes += running->session.text;
    if (!WriteWholeFile(running->stateFile, bytes.data(), bytes.size()))
        fprintf(stderr, "chiphost: cannot write %s\n", running->stateFile.c_str());
}

static void StartTimer(RunningChip* running)
{
    KillTimer(running->session.window, kChipTimer);
    int span = running->session.api->GetTimerSpan(running->session.chip);
    if (span > 0)
        SetTimer(running->session.window, kChipTimer, static_cast<UINT>(span * running->unitMs), nullptr);
}

// The host's menu: the chip's own items first, then the host's.
static HMENU BuildContextMenu(RunningChip* running)
{
    HMENU popup = CreatePopupMenu();
    HMENU chipMenu = running->session.api->GetDrawExMenu(running->session.chip);
    int count = chipMenu ? GetMenuItemCount(chipMenu) : 0;
    for (int i = 0; i < count; i++) {
        char text[256] = "";
        MENUITEMINFOA item = {};
        item.cbSize = sizeof(item);
        item.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_STRING;
        item.dwTypeData = text;
        item.cch = sizeof(text);
        if (GetMenuItemInfoA(chipMenu, i, TRUE, &item))
            InsertMenuItemA(popup, GetMenuItemCount(popup), TRUE, &item);
    }
    // The chip's menu is the host's to destroy.
    if (chipMenu)
        DestroyMenu(chipMenu);
    if (count)
        AppendMenuA(popup, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(popup, MF_STRING, kHostAddPictures, "Add pictures...");
    AppendMenuA(popup, MF_STRING, kHostAbout, "About the chip kind...");
    AppendMenuA(popup, MF_STRING, kHostConfigure, "Configure the chip kind...");
    AppendMenuA(popup, MF_STRING, kHostClose, "Close");
    return popup;
}

static void AddPictures(RunningChip* running)
{
    ChipSession* s = &running->session;
    HGLOBAL text = GlobalAlloc(GMEM_MOVEABLE, s->text.size() + 1);
    if (!text)
        return;
    char* p = static_cast<char*>(GlobalLock(text));
    memcpy(p, s->text.c_str(), s->text.size() + 1);
    GlobalUnlock(text);
    ChipEditInfo info = MakeChipEditInfo(text);
    if (s->api->EditHelper(s->window, info.bytes) == 1) {
        HGLOBAL edited = ChipEditText(info);
        const char* q = static_cast<const char*>(GlobalLock(edited));
        if (q) {
            s->text.assign(q, strnlen(q, GlobalSize(edited)));
            GlobalUnlock(edited);
        }
        s->block = SaveSettings(s);
        UpdateChip(s, 1);
        ActOnResult(s, 3);
        StartTimer(running);
    }
    // Whichever block the helper left is the host's.
    GlobalFree(ChipEditText(info));
}

static void Execute(RunningChip* running, UINT id)
{
    ChipSession* s = &running->session;
    switch (id) {
    case 0:
        break;
    case kHostAddPictures:
        AddPictures(running);
        break;
    case kHostAbout:
        s->api->DrawExAbout(s->window);
        break;
    case kHostConfigure:
        s->api->DrawExConfigure(s->window);
        break;
    case kHostClose:
        PostMessageA(s->window, WM_CLOSE, 0, 0);
        break;
    default:
        ActOnResult(s, s->api->DoDrawExMenu(s->chip, s->window, static_cast<int>(id)));
        break;
    }
}

static LRESULT CALLBACK ChipWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    RunningChip* running = reinterpret_cast<RunningChip*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!running || !running->session.chip)
        return DefWindowProcA(window, message, wParam, lParam);
    ChipSession* s = &running->session;
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        s->api->DrawChip(s->chip, window, dc, s->text.c_str());
        EndPaint(window, &paint);
        return 0;
    }
    case WM_SIZE:
        s->api->Resize(s->chip, window);
        InvalidateRect(window, nullptr, FALSE);
        return 0;
    case WM_CONTEXTMENU: {
        POINT at = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        if (at.x == -1 && at.y == -1) {
            at.x = at.y = 0;
            ClientToScreen(window, &at);
        }
        HMENU menu = BuildContextMenu(running);
        UINT id = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
        DestroyMenu(menu);
        Execute(running, id);
        return 0;
    }
    case WM_TIMER:
        if (wParam == kChipTimer)
            ActOnResult(s, s->api->DoTimer(s->chip));
        return 0;
    case WM_CLOSE:
        WriteState(running);
        KillTimer(window, kChipTimer);
        s->api->UnInitializeChip(s->chip);
        s->chip = nullptr;
        DestroyWindow(window);
        if (--g_openChips == 0)
            PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int RunInteractive(const Options& options, DxlApi* api)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = ChipWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.lpszClassName = "ChipHostChip";
    RegisterClassA(&wc);

    std::vector<RunningChip*> chips;
    for (const std::string& list : options.lists) {
        RunningChip* running = new RunningChip();
        running->session.api = api;
        running->session.background = options.background;
        running->stateFile = list + ".state";
        running->unitMs = options.unitMs;
        if (!ReadState(running->stateFile, &running->session)
            && !ReadWholeFile(list, &running->session.text)) {
            fprintf(stderr, "chiphost: cannot read the list %s\n", list.c_str());
            delete running;
            continue;
        }
        HWND window = CreateWindowA("ChipHostChip", list.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                    CW_USEDEFAULT, 320, 240, nullptr, nullptr,
                                    GetModuleHandleA(nullptr), nullptr);
        running->session.window = window;
        if (!window || !StartChip(&running->session, 1)) {
            fprintf(stderr, "chiphost: cannot start a chip for %s\n", list.c_str());
            if (window)
                DestroyWindow(window);
            delete running;
            continue;
        }
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(running));
        ActOnResult(&running->session, 3);
        StartTimer(running);
        ShowWindow(window, SW_SHOW);
        chips.push_back(running);
        g_openChips++;
    }
    if (chips.empty())
        return 2;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    for (RunningChip* running : chips)
        delete running;
    return 0;
}
