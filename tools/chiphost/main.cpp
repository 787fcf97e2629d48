// chiphost: a stand-in host that runs chip-drawing libraries. It loads a
// .dxl, creates chips from picture lists and drives them as the memo program
// does: sizes, paints, menu commands, timer ticks and saved settings.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>

#include "common/dxl_api.h"
#include "common/files.h"
#include "common/image_io.h"
#include "options.h"
#include "session.h"

int RunInteractive(const Options& options, DxlApi* api);

static const int kSlideshowSettings = 10009;

static int Fail(const std::string& message)
{
    fprintf(stderr, "chiphost: %s\n", message.c_str());
    return 2;
}

static void PrependToPath(const std::string& folder)
{
    DWORD size = GetEnvironmentVariableA("PATH", nullptr, 0);
    std::string path(size, '\0');
    if (size)
        GetEnvironmentVariableA("PATH", &path[0], size);
    path.resize(size ? size - 1 : 0);
    std::string joined = folder + (path.empty() ? "" : ";" + path);
    SetEnvironmentVariableA("PATH", joined.c_str());
}

// The hidden window a rendered chip lives in.
static HWND CreateStillWindow(int width, int height)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "ChipHostStill";
    RegisterClassA(&wc);
    HWND window = CreateWindowA("ChipHostStill", "chip", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
    if (window)
        SetClientSize(window, width, height);
    return window;
}

// Paints the chip into a bitmap compatible with its window and writes it.
static bool RenderToPng(ChipSession* session, const std::string& out, int* width, int* height,
                        std::string* error)
{
    RECT client;
    GetClientRect(session->window, &client);
    *width = client.right;
    *height = client.bottom;
    HDC windowDc = GetDC(session->window);
    HDC dc = CreateCompatibleDC(windowDc);
    HBITMAP bitmap = CreateCompatibleBitmap(windowDc, client.right, client.bottom);
    ReleaseDC(session->window, windowDc);
    HGDIOBJ old = SelectObject(dc, bitmap);
    // The host's own choices for the DC: its font and colours.
    HGDIOBJ oldFont = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    SetTextColor(dc, RGB(255, 255, 255));
    SetBkMode(dc, TRANSPARENT);
    session->api->DrawChip(session->chip, session->window, dc, session->text.c_str());
    SelectObject(dc, oldFont);
    SelectObject(dc, old);
    DeleteDC(dc);
    bool saved = SaveBitmapPng(bitmap, out, error);
    DeleteObject(bitmap);
    return saved;
}

static int Render(const Options& options, DxlApi* api)
{
    ChipSession session = {};
    session.api = api;
    session.background = options.background;
    if (!ReadWholeFile(options.textFile, &session.text))
        return Fail("cannot read the list " + options.textFile);
    if (!options.blockFile.empty()) {
        std::string block;
        if (!ReadWholeFile(options.blockFile, &block))
            return Fail("cannot read the saved block " + options.blockFile);
        session.block.assign(block.begin(), block.end());
    }
    for (const Step& step : options.steps)
        if (step.isMenu && step.value == kSlideshowSettings)
            return Fail("--menu 10009 opens the settings dialog; use chiphost run");

    session.window = CreateStillWindow(options.width, options.height);
    if (!session.window)
        return Fail("cannot create the chip window");
    if (!StartChip(&session, options.keep)) {
        DestroyWindow(session.window);
        return Fail("the library did not create a chip");
    }
    // The chip opens on a picture of its own choosing, which no export
    // names; the size it first asks for tells pictures of different sizes
    // apart at no cost beyond the host's own call.
    int opened[2] = {0, 0};
    api->CalcDefaultRect(session.chip, session.window, opened, session.text.c_str());
    for (const Step& step : options.steps) {
        if (step.isMenu) {
            ActOnResult(&session, api->DoDrawExMenu(session.chip, session.window, step.value));
        } else {
            for (int i = 0; i < step.value; i++)
                ActOnResult(&session, api->DoTimer(session.chip));
        }
    }
    std::vector<BYTE> saved = SaveSettings(&session);
    int status = 0;
    if (!options.saveFile.empty() && !WriteWholeFile(options.saveFile, saved.data(), saved.size()))
        status = Fail("cannot write " + options.saveFile);

    size_t pictures = TextLines(session.text).size();
    int width = 0, height = 0;
    std::string error;
    if (status == 0 && !RenderToPng(&session, options.outFile, &width, &height, &error))
        status = Fail(error);
    if (status == 0) {
        printf("chip %dx%d view %d pictures %d", width, height, SavedViewMode(saved), static_cast<int>(pictures));
        if (!options.steps.empty())
            printf(" (opened at %dx%d)", opened[0], opened[1]);
        printf("\n");
    }
    api->UnInitializeChip(session.chip);
    DestroyWindow(session.window);
    return status;
}

static int Picture(const Options& options)
{
    std::string error;
    if (!WriteSamplePicture(options.outFile, options.width, options.height, options.pattern, &error))
        return Fail(error);
    printf("%s\n", options.outFile.c_str());
    return 0;
}

int main(int argc, char** argv)
{
    Options options;
    std::string error;
    if (argc < 2) {
        fprintf(stderr, "%s", Usage());
        return 2;
    }
    if (!ParseOptions(argc, argv, &options, &error))
        return Fail(error + " (chiphost alone shows the usage)");
    if (options.mode == "picture")
        return Picture(options);

    // A real host has registered the common controls before it loads us.
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_UPDOWN_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    if (!options.plugins.empty())
        PrependToPath(options.plugins);
    DxlApi api;
    if (!LoadDxlApi(&api, options.dxl, &error))
        return Fail(error);
    int status = options.mode == "render" ? Render(options, &api) : RunInteractive(options, &api);
    fflush(stdout);
    UnloadDxlApi(&api);
    return status;
}
